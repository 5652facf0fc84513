#pragma once
// Loading the dongle's own firmware: the firmware file stores Intel HEX text with the two
// nibbles of every byte exchanged; its records go into the EZ-USB's memory through the
// firmware-load vendor request, framed by holding and releasing the CPU.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "usb/UsbDriver.h"

namespace qdm {

inline constexpr const char* kFirmwareFileName = "DWTB.TBH";
inline constexpr std::uint8_t kFirmwareLoadRequest = 0xA0;
inline constexpr std::uint16_t kCpuControlRegister = 0xE600;

// Where "DWTB.TBH" is looked for, in order: the executable's folder, the user's data folder
// (where a user without rights on the program's folders puts it), then the package's data
// folders.
std::vector<std::filesystem::path> FirmwareSearchPaths();

// Where a firmware file found nowhere belongs, for whoever says so.
inline constexpr const char* kMissingFirmwareAdvice =
    "It comes with the dongle: copy it to one of these places (your own data folder for "
    "yourself, a package data folder for every user of the machine), or name it with "
    "--firmware FILE.";

// The first of FirmwareSearchPaths that exists; the one in the executable's folder when none
// does, so a failure names the first place looked at. Each place looked at goes to the
// diagnostic log.
std::filesystem::path FirmwareFilePath();

// The longest text that still fits the dongle: every byte below the CPU control register in a
// record of its own (":01AAAA00DDCC" and CR LF, 15 characters), then the end record (13). Any
// firmware for its memory is far shorter: 862 KiB.
inline constexpr std::int64_t kMaxFirmwareFileLength = std::int64_t{kCpuControlRegister} * 15 + 13;

// Reads the firmware file whole and exchanges the nibbles back. False (and `text` empty) when
// the file is no regular file, is larger than kMaxFirmwareFileLength, or cannot be opened or
// read whole; `why` (when given) then receives the reason.
bool ReadFirmwareText(const std::filesystem::path& file, std::vector<std::uint8_t>& text,
                      std::string* why = nullptr);

// Checks every line up to the end record: ':' first, hexadecimal digits only, at most 512
// characters, exactly the length its byte count gives, a correct checksum; no data record that
// reaches the CPU control register (it would start the firmware half-loaded) or runs past 0xFFFF
// (it would wrap onto the reset vector); no extended address record (types 02 and 04: the
// dongle's addresses have 16 bits, and dropping one would load its records elsewhere); at least
// one data record, and an end record. `why` (when given) receives the reason for a rejection.
bool ValidateFirmwareText(std::span<const std::uint8_t> text, std::string* why = nullptr);

// Loads the firmware text into device 0 (its notifications go to `window`). Nothing is sent
// unless the whole text is valid. True when a dongle was found and every request of the sequence
// went through. `betweenRequests` (when given) runs after each request: hundreds of them take a
// noticeable time, which a window spends handling its events.
bool DownloadFirmware(std::span<const std::uint8_t> text, usb::WindowHandle window,
                      const std::function<void()>& betweenRequests = {});

}  // namespace qdm
