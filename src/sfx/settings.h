// The settings member "$" and the notice member "!".
#pragma once

#include "sfx/workspace.h"

// The two members the program reads instead of extracting them, by their whole names
// (directory included): the settings text and the notice.
constexpr char SettingsMemberName[] = "$";
constexpr char NoticeMemberName[] = "!";
static_assert(sizeof SettingsMemberName == 2 && sizeof NoticeMemberName == 2, "one-character names");
// What the output sink does with the data of a member of this name: CaptureSettings,
// CaptureNotice, or CaptureNone for every other member.
inline uint8_t CaptureModeOf(const char* name) {
    if (!name[0] || name[1]) return CaptureNone;
    if (name[0] == NoticeMemberName[0]) return CaptureNotice;
    return name[0] == SettingsMemberName[0] ? CaptureSettings : CaptureNone;
}

// The keys of the settings text, as it spells them; matched without letter case at the
// start of a line, the value running to the end of the line.
enum SettingKey { KeyWindowTitle, KeyInstallTitle, KeyInstallDir, KeyCommand, KeyFlag, KeyCount };
extern const char* const SettingKeys[KeyCount];

// The bits of "$Flag=", applied in this order: of two bits for one switch the later wins.
enum : uint32_t {
    FlagAutoStartOn = 0x0001, FlagOverwriteAllOn = 0x0002, FlagSkipIfNotNewerOff = 0x0008,
    FlagRestoreAttributesOn = 0x0010, FlagAutoStartOff = 0x0100, FlagOverwriteAllOff = 0x0200,
    FlagSkipIfNotNewerOn = 0x0800, FlagRestoreAttributesOff = 0x1000,
};

void ApplySettings();
void AskNotice();
