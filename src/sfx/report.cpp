// The error box and the orderly abort.
#include "sfx/report.h"

#include "sfx/text.h"

// "\"subject\" message" into MessageText, cut to the buffer when the subject is long.
void FormatQuoted(const char* subject, const char* message) {
    char* t = Ws->MessageText;
    const uint32_t size = sizeof Ws->MessageText;
    TextCopy(t, size, "\"");
    TextAppend(t, size, subject);
    TextAppend(t, size, "\" ");
    TextAppend(t, size, message);
}

void ShowError(const char* message, const char* subject) {
    FormatQuoted(subject, message);
    PortMessageBox(Ws->DialogWindow, Ws->MessageText, Ws->Config.WindowTitle, MbErrorBox);
}

void AbortRun(int32_t status) {
    if (Ws) {
        if (PortFileIsOpen(Ws->OutputFile)) {
            PortCloseFile(Ws->OutputFile);
            PortDeleteFile(Ws->TargetPath);
        }
        if (PortFileIsOpen(Ws->ArchiveFile)) PortClose(Ws->ArchiveFile);
        Ws->OutputFile = PortInvalidFile;
        Ws->ArchiveFile = PortInvalidFile;
    }
    PortExitProcess(status);
}
