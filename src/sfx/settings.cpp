// The settings member "$" (keys that change the configuration and the switches) and the
// notice member "!" (a Yes/No question before anything else happens).
#include "sfx/settings.h"

#include "sfx/text.h"

const char* const SettingKeys[KeyCount] = {"$WindowTitle=", "$InstallTitle=", "$InstallDir=", "$Command=", "$Flag="};

namespace {

const uint32_t ValueSize = 256;

// Decimal with optional leading blanks and sign; anything else reads as 0. Arithmetic
// wraps as an unsigned 32-bit value, so an overlong number cannot overflow.
uint32_t ParseDecimal(const char* p) {
    while (*p == ' ') p++;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) value = value * 10u + (uint32_t)(*p - '0');
    return negative ? 0u - value : value;
}

void ApplyFlags(uint32_t bits) {
    if (bits & FlagAutoStartOn) AutoStart = 1;
    if (bits & FlagOverwriteAllOn) OverwriteAll = 1;
    if (bits & FlagSkipIfNotNewerOff) SkipIfNotNewer = 0;
    if (bits & FlagRestoreAttributesOn) Ws->Config.RestoreAttributes = RestoreAttributesOn;
    if (bits & FlagAutoStartOff) AutoStart = 0;
    if (bits & FlagOverwriteAllOff) OverwriteAll = 0;
    if (bits & FlagSkipIfNotNewerOn) SkipIfNotNewer = 1;
    if (bits & FlagRestoreAttributesOff) Ws->Config.RestoreAttributes = 0;
}

void ApplyValue(int key, const char* value) {
    SfxConfigBlock& c = Ws->Config;
    switch (key) {
        // The titles keep at most 40 bytes so that they stay inside their fields.
        case KeyWindowTitle: TextCopy(c.WindowTitle, sizeof c.WindowTitle, value); break;
        case KeyInstallTitle: TextCopy(c.InstallTitle, sizeof c.InstallTitle, value); break;
        case KeyInstallDir:
            if (c.InstallDir[0] == 0) TextCopy(c.InstallDir, sizeof c.InstallDir, value);
            break;
        case KeyCommand: TextCopy(c.Command, sizeof c.Command, value); break;
        case KeyFlag: ApplyFlags(ParseDecimal(value)); break;
        default: break;
    }
}

// Bytes below 32 separate lines; NUL ends the text.
inline bool IsText(uint8_t c) { return c >= 32; }

}  // namespace

void ApplySettings() {
    const uint8_t* text = (const uint8_t*)Ws->SettingsText;
    // The capture always terminates the text; the bound only guards a text that is not.
    const uint32_t end = sizeof Ws->SettingsText - 1;
    uint32_t i = 0;
    for (;;) {
        while (i < end && text[i] && !IsText(text[i])) i++;
        if (i >= end || !text[i]) break;
        for (int key = 0; key < KeyCount; key++) {
            uint32_t keyLength = TextLength(SettingKeys[key]);
            if (i + keyLength > end || !TextEqualNoCase((const char*)text + i, SettingKeys[key], keyLength)) continue;
            char value[ValueSize];
            uint32_t v = 0, j = i + keyLength;
            for (; j < end && IsText(text[j]) && v < ValueSize - 1; j++) value[v++] = (char)text[j];
            value[v] = 0;
            ApplyValue(key, value);
            i = j;
            break;
        }
        while (i < end && IsText(text[i])) i++;
    }
}

void AskNotice() {
    int32_t answer = PortMessageBox(Ws->DialogWindow, Ws->MessageText, Ws->Config.WindowTitle,
                                    PortMbTaskModal | PortMbIconQuestion | PortMbYesNo);
    if (answer == PortIdNo) Ws->Failed = 1;
}
