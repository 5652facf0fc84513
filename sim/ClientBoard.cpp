#include "sim/ClientBoard.h"

#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"

namespace qdm::sim {

std::string_view BoardKindName(BoardKind kind) {
    switch (kind) {
        case BoardKind::K3r8:
            return "k3r8";
        case BoardKind::K3r1:
            return "k3r1";
        case BoardKind::Demoboard:
            return "demoboard";
        case BoardKind::None:
            break;
    }
    return "none";
}

std::unique_ptr<ClientBoard> MakeBoard(BoardKind kind) {
    switch (kind) {
        case BoardKind::K3r8:
            return std::make_unique<K3r8Board>();
        case BoardKind::K3r1:
            return std::make_unique<K3r1Board>();
        case BoardKind::Demoboard:
            return std::make_unique<Demoboard>();
        case BoardKind::None:
            break;
    }
    return std::make_unique<EmptySocket>();
}

}  // namespace qdm::sim
