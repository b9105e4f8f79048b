// The state of the POSIX port, shared by its two files: port_posix.cpp (files, the
// system, message boxes, the transcript) and port_posix_dialog.cpp (the dialog).
#pragma once

#include <deque>
#include <map>

#include "port/posix_port.h"

struct PortState {
    std::vector<PosixEvent> transcript;
    std::deque<int32_t> answers;
    int32_t defaultAnswer = 0;
    FILE* echo = nullptr;
    std::function<bool(uint8_t)> leadByte;   // none: no lead bytes
    uint32_t nameCodePage = 0;               // 0: the ANSI code page
    std::string modulePath;
    std::string windowsDir, systemDir;
    uint32_t volumeMax = 255;
    std::string lastVolumeRoot;
    int32_t failAllocation = 0;
    uint64_t writeBudget = UINT64_MAX;
    uint64_t written = 0;
    bool failClose = false;
    std::string confineTo;   // absolute and normalised; empty = no confinement
    std::map<std::string, uint32_t> extraAttributes;   // hidden/system/archive bits
    // The items' texts (the walk sets the progress line; the dialog's own state is in
    // port_posix_dialog.cpp), and what is called whenever one is set.
    std::map<int32_t, std::string> items;
    std::function<void(int32_t, const char*)> itemHook;
    // How often PosixResetPort ran: the dialog's state starts afresh after each.
    uint32_t resets = 0;
};

PortState& SimulatedSystem();
void Record(PosixEvent e);
