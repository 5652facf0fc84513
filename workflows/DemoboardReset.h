#pragma once
// "Demoboard Reset": switches the demoboard's interface off and releases the board from the
// hold a download keeps it in.

#include "workflows/OperatorPanel.h"

namespace qdm {

void Btn_DBRstClick(OperatorPanel& panel);

}  // namespace qdm
