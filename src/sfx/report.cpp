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

void ShowPercent() {
    const uint32_t wanted = Ws->PercentWanted;
    if (wanted == Ws->PercentShown) return;
    Ws->PercentShown = wanted;
    TextCopy(Ws->MessageText, sizeof Ws->MessageText, "Extract... ");
    char* end = FormatUnsigned(Ws->MessageText + TextLength(Ws->MessageText), wanted - 1);
    end[0] = '%';
    end[1] = 0;
    PortSetItemText(Ws->DialogWindow, IdProgressPercent, Ws->MessageText);
}

void ShowError(const char* message, const char* subject) {
    ShowPercent();
    FormatQuoted(subject, message);
    PortMessageBox(Ws->DialogWindow, Ws->MessageText, Ws->Config.WindowTitle, MbErrorBox);
}

void AbortRun(int32_t status) {
    if (Ws) CloseRunFiles();
    PortExitProcess(status);
}
