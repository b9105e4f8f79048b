// varnex-builder.exe: the builder's window, for people who make installers without a
// console. Every field is an option of varnex-pack by its long name, so that the window
// builds through the same table, checks, messages and building code (ParseProject,
// BuildSelfExtractor) and opens and saves the same project files the command line reads.
// It remembers nothing in the registry: what it remembers is the project file.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

#include <atomic>
#include <string>
#include <vector>

#include "builder_ids.h"
#include "option_table.h"
#include "pack.h"
#include "project.h"

namespace {

using pack::ProjectEntry;

enum class Kind { Text, Folder, Output, File, Flag, Choice };
struct Field {
    int id;
    const char* key;            // the option's long name; "input" for the folder
    Kind kind;
    const char* sub = nullptr;  // the --version-info key
    const wchar_t* filter = nullptr;
};
const wchar_t kAnyFile[] = L"All files (*.*)\0*.*\0";
const wchar_t kProjects[] = L"Varnex32 projects (*.vxp)\0*.vxp\0All files (*.*)\0*.*\0";
const Field kFields[] = {
    {IDC_FOLDER, "input", Kind::Folder},
    {IDC_OUTPUT, "output", Kind::Output, nullptr, L"Programs (*.exe)\0*.exe\0"},
    {IDC_TITLE, "title", Kind::Text},
    {IDC_LABEL, "label", Kind::Text},
    {IDC_DIR, "dir", Kind::Text},
    {IDC_COMMAND, "command", Kind::Text},
    {IDC_NOTICE, "notice", Kind::File, nullptr, L"Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0"},
    {IDC_ICONFILE, "icon", Kind::File, nullptr, L"Icons (*.ico)\0*.ico\0"},
    {IDC_PRODUCTNAME, "version-info", Kind::Text, "ProductName"},
    {IDC_FILEDESCRIPTION, "version-info", Kind::Text, "FileDescription"},
    {IDC_COMPANYNAME, "version-info", Kind::Text, "CompanyName"},
    {IDC_LEGALCOPYRIGHT, "version-info", Kind::Text, "LegalCopyright"},
    {IDC_PRODUCTVERSION, "version-info", Kind::Text, "ProductVersion"},
    {IDC_FILEVERSION, "version-info", Kind::Text, "FileVersion"},
    {IDC_ORIGINALFILENAME, "version-info", Kind::Text, "OriginalFilename"},
    {IDC_COMMENTS, "version-info", Kind::Text, "Comments"},
    {IDC_METHOD, "method", Kind::Choice},
    {IDC_LEVEL, "level", Kind::Choice},
    {IDC_CODEPAGE, "codepage", Kind::Text},
    {IDC_ELEVATION, "elevation", Kind::Choice},
    {IDC_AUTOSTART, "auto-start", Kind::Flag},
    {IDC_OVERWRITEALL, "overwrite-all", Kind::Flag},
    {IDC_SKIPIFNOTNEWER, "skip-if-not-newer", Kind::Flag},
    {IDC_RESTOREATTRIBUTES, "restore-attributes", Kind::Flag},
    {IDC_CHECKSUM, "checksum", Kind::Flag},
    {IDC_PKCS12, "sign-pkcs12", Kind::File, nullptr, L"PKCS#12 files (*.p12;*.pfx)\0*.p12;*.pfx\0"},
    {IDC_PASSWORDFILE, "sign-password-file", Kind::File, nullptr, kAnyFile},
};
// The choices of the drop-down lists, and each list's default (left out of a project).
const std::vector<std::string> kMethods = {"best", "lh0", "lh5", "lh6", "lh7"};
const std::vector<std::string> kLevels = {"1", "2", "3", "4", "5", "6", "7", "8", "9"};
const std::vector<std::string> kElevations = {"as-invoker", "highest-available", "require-administrator"};
const std::vector<std::string>& ChoicesOf(int id) {
    return id == IDC_METHOD ? kMethods : id == IDC_LEVEL ? kLevels : kElevations;
}
WPARAM DefaultOf(int id) { return id == IDC_LEVEL ? lzh::DefaultLevel - 1 : 0; }

struct Window {
    HWND dialog = nullptr;
    std::vector<ProjectEntry> extras;   // a project's options that have no field, kept
    std::string project;                // the project file opened or saved last
    HANDLE worker = nullptr;
    std::atomic<bool> cancel{false};
    pack::Options options;              // of the build that runs
    std::string failure;                // its message, if it failed
    pack::BuildSummary summary;
} W;

const UINT kBuildEnded = WM_APP + 1, kBuildProgress = WM_APP + 2;

std::wstring Wide(const std::string& s) {
    std::wstring w(MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &w[0], (int)w.size());
    return w;
}
std::string Utf8(const std::wstring& w) {
    std::string s(WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], (int)s.size(), nullptr, nullptr);
    return s;
}

std::string Text(int id) {
    HWND item = GetDlgItem(W.dialog, id);
    std::wstring w(GetWindowTextLengthW(item) + 1, L'\0');
    w.resize(GetWindowTextW(item, &w[0], (int)w.size()));
    return Utf8(w);
}
void SetText(int id, const std::string& text) { SetDlgItemTextW(W.dialog, id, Wide(text).c_str()); }

const Field* FieldOf(const std::string& key, const std::string& sub = "") {
    for (const Field& f : kFields)
        if (key == f.key && (!f.sub || sub == f.sub)) return &f;
    return nullptr;
}

// The folder field packs what is inside the folder, as "DIR/." does on the command line.
std::string FolderInput(std::string folder) {
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    return folder + "/.";
}

// The fields (and the kept options) as a project's entries; paths as they stand.
std::vector<ProjectEntry> Entries() {
    std::vector<ProjectEntry> entries;
    for (const Field& f : kFields) {
        std::string value;
        if (f.kind == Kind::Flag) {
            if (IsDlgButtonChecked(W.dialog, f.id) == BST_CHECKED) value = "true";
        } else if (f.kind == Kind::Choice) {
            const LRESULT at = SendDlgItemMessageW(W.dialog, f.id, CB_GETCURSEL, 0, 0);
            if (at >= 0 && (WPARAM)at != DefaultOf(f.id)) value = ChoicesOf(f.id)[at];
        } else {
            value = Text(f.id);
            if (f.kind == Kind::Folder && !value.empty()) value = FolderInput(value);
        }
        if (value.empty()) continue;
        entries.push_back({f.key, f.sub ? std::string(f.sub) + "=" + value : value, 0});
    }
    entries.insert(entries.end(), W.extras.begin(), W.extras.end());
    return entries;
}

void Show(const std::vector<ProjectEntry>& entries) {
    for (const Field& f : kFields) {
        if (f.kind == Kind::Flag) CheckDlgButton(W.dialog, f.id, BST_UNCHECKED);
        else if (f.kind == Kind::Choice) SendDlgItemMessageW(W.dialog, f.id, CB_SETCURSEL, DefaultOf(f.id), 0);
        else SetText(f.id, "");
    }
    W.extras.clear();
    for (const ProjectEntry& e : entries) {
        const size_t eq = e.value.find('=');
        const Field* f = e.key == "version-info" && eq != std::string::npos ? FieldOf(e.key, e.value.substr(0, eq))
                                                                              : FieldOf(e.key);
        // A second input, or one that is not a folder's contents, has no field: kept as it is.
        const bool folder = f && f->kind == Kind::Folder;
        const bool contents = e.value.size() > 2 && e.value.back() == '.' &&
                              (e.value[e.value.size() - 2] == '/' || e.value[e.value.size() - 2] == '\\');
        if (!f || (folder && (!Text(f->id).empty() || !contents))) {
            W.extras.push_back(e);
            continue;
        }
        if (f->kind == Kind::Flag) {
            CheckDlgButton(W.dialog, f->id, e.value == "true" ? BST_CHECKED : BST_UNCHECKED);
        } else if (f->kind == Kind::Choice) {
            const std::vector<std::string>& choices = ChoicesOf(f->id);
            for (size_t i = 0; i < choices.size(); i++)
                if (choices[i] == e.value) SendDlgItemMessageW(W.dialog, f->id, CB_SETCURSEL, i, 0);
        } else {
            SetText(f->id, folder ? e.value.substr(0, e.value.size() - 2) : f->sub ? e.value.substr(eq + 1) : e.value);
        }
    }
}

int Box(const std::string& text, UINT style) {
    return MessageBoxW(W.dialog, Wide(text).c_str(), L"Varnex32 Builder", style);
}

// The field a message is about (it begins with the option's long name), focused.
void FocusFieldOf(const std::string& message) {
    const std::string key = pack::OptionNamed(message);
    std::string sub;
    if (key == "version-info") {   // "--version-info FileVersion ..."
        const size_t at = message.find(' ');
        sub = message.substr(at + 1, message.find_first_of(" :", at + 1) - at - 1);
    }
    const Field* f = FieldOf(key == "folder" ? "input" : key, sub);
    if (f) SendMessageW(W.dialog, WM_NEXTDLGCTL, (WPARAM)GetDlgItem(W.dialog, f->id), TRUE);
}

// ---- the build, in a thread of its own so that the window answers meanwhile ----------

class WindowProgress : public pack::BuildProgress {
protected:
    void Shown(int percent, const std::string& member) override {
        if (W.cancel) throw pack::Error("cancelled");
        PostMessageW(W.dialog, kBuildProgress, (WPARAM)percent, 0);
        (void)member;
    }
    void Began(pack::BuildStep, uint64_t) override {
        if (W.cancel) throw pack::Error("cancelled");
    }
};

DWORD WINAPI BuildThread(void*) {
    WindowProgress progress;
    try {
        W.summary = pack::BuildSelfExtractor(W.options, progress);
    } catch (const std::exception& e) {
        W.failure = e.what();
    }
    PostMessageW(W.dialog, kBuildEnded, 0, 0);
    return 0;
}

void Busy(bool busy) {
    for (const Field& f : kFields) {
        EnableWindow(GetDlgItem(W.dialog, f.id), !busy);
        if (HWND browse = GetDlgItem(W.dialog, f.id + IDC_BROWSE)) EnableWindow(browse, !busy);
    }
    for (int id : {IDOK, IDC_OPEN, IDC_SAVE}) EnableWindow(GetDlgItem(W.dialog, id), !busy);
    SetDlgItemTextW(W.dialog, IDCANCEL, busy ? L"Cancel" : L"Close");
}

void StartBuild() {
    try {
        W.options = pack::ParseProject(Entries(), W.project, {});
    } catch (const std::exception& e) {
        Box(e.what(), MB_ICONWARNING);
        FocusFieldOf(e.what());
        return;
    }
    W.options.quiet = true;
    W.failure.clear();
    W.cancel = false;
    SendDlgItemMessageW(W.dialog, IDC_PROGRESS, PBM_SETPOS, 0, 0);
    SetText(IDC_STATUS, "Building " + W.options.output + " ...");
    Busy(true);
    W.worker = CreateThread(nullptr, 0, BuildThread, nullptr, 0, nullptr);
    if (!W.worker) {
        Busy(false);
        Box("could not start the build: " + std::to_string(GetLastError()), MB_ICONERROR);
    }
}

void BuildEnded() {
    WaitForSingleObject(W.worker, INFINITE);
    CloseHandle(W.worker);
    W.worker = nullptr;
    Busy(false);
    if (W.cancel) {
        SetText(IDC_STATUS, "Cancelled: nothing was written.");
        return;
    }
    if (!W.failure.empty()) {
        SetText(IDC_STATUS, "");
        Box(pack::WithOrigin(W.options, W.failure), MB_ICONERROR);
        FocusFieldOf(W.failure);
        return;
    }
    SendDlgItemMessageW(W.dialog, IDC_PROGRESS, PBM_SETPOS, 100, 0);
    const std::string summary = pack::SummaryText(W.options, W.summary);
    SetText(IDC_STATUS, summary);
    if (Box("Written: " + summary + "\n\nOpen the folder it is in?", MB_ICONINFORMATION | MB_YESNO) == IDYES) {
        const std::wstring select = L"/select,\"" + Wide(W.options.output) + L"\"";
        ShellExecuteW(W.dialog, L"open", L"explorer.exe", select.c_str(), nullptr, SW_SHOWNORMAL);
    }
}

// ---- pickers and project files --------------------------------------------------------

std::string PickFile(const Field& f, bool save) {
    wchar_t name[MAX_PATH] = L"";
    lstrcpynW(name, Wide(Text(f.id)).c_str(), MAX_PATH);
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = W.dialog;
    ofn.lpstrFilter = f.filter ? f.filter : kAnyFile;
    ofn.lpstrFile = name;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = !save ? nullptr : f.filter == kProjects ? L"vxp" : L"exe";
    ofn.Flags = OFN_NOCHANGEDIR | (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    return (save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn)) ? Utf8(name) : "";
}

std::string PickFolder() {
    BROWSEINFOW bi = {};
    bi.hwndOwner = W.dialog;
    bi.lpszTitle = L"The folder whose contents the self-extractor installs";
    bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&bi);
    if (!list) return "";
    wchar_t path[MAX_PATH];
    const bool ok = SHGetPathFromIDListW(list, path);
    CoTaskMemFree(list);
    return ok ? Utf8(path) : "";
}

// A folder given at the start: its contents, "<name>-setup.exe" beside it, its name as title.
void Propose(std::string folder) {
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    const size_t slash = folder.find_last_of("\\/");
    const std::string name = folder.substr(slash == std::string::npos ? 0 : slash + 1);
    SetText(IDC_FOLDER, folder);
    SetText(IDC_OUTPUT, folder.substr(0, slash == std::string::npos ? 0 : slash + 1) + name + "-setup.exe");
    SetText(IDC_TITLE, name);
}

bool IsPath(const Field* f) { return f && (f->kind == Kind::Folder || f->kind == Kind::Output || f->kind == Kind::File); }

std::string Backslashed(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

void OpenProject(const std::string& path) {
    try {
        std::vector<ProjectEntry> entries = pack::ReadProject(path);
        // Every line checked as the command line would check it (the output and the
        // inputs given here stand in for whatever the file has or lacks).
        pack::ParseProject(entries, path, {"-o", "checked.exe", "checked"});
        for (ProjectEntry& e : entries)
            if (IsPath(FieldOf(e.key))) e.value = Backslashed(pack::ProjectPath(path, e.value));
        W.project = path;
        Show(entries);
    } catch (const std::exception& e) {
        Box(e.what(), MB_ICONWARNING);
    }
}

// Saves to the project that was opened (or saved) last; asks where the first time.
void SaveProject() {
    const Field project = {0, "project", Kind::Output, nullptr, kProjects};
    const std::string path = W.project.empty() ? PickFile(project, true) : W.project;
    if (path.empty()) return;
    std::vector<ProjectEntry> entries = Entries();
    for (ProjectEntry& e : entries) {
        if (IsPath(FieldOf(e.key))) e.value = pack::ProjectRelative(path, e.value);
    }
    try {
        pack::WriteProject(path, entries);
        W.project = path;
        SetText(IDC_STATUS, "Saved " + path);
    } catch (const std::exception& e) {
        Box(e.what(), MB_ICONERROR);
    }
}

// ---- the dialog -----------------------------------------------------------------------

// Each field's limit, as the option table states it ("at most 40 bytes").
void ShowLimits() {
    for (const pack::OptionEntry& o : pack::OptionTable()) {
        const size_t at = o.description.find("at most ");
        if (at == std::string::npos || o.names.empty()) continue;
        const size_t end = o.description.find_first_of(";)", at);
        const Field* f = FieldOf(o.names.back().substr(2));
        if (f) SetText(f->id + IDC_LIMIT, o.description.substr(at, end - at));
    }
}

void Fill(HWND combo, const std::vector<std::string>& items) {
    for (const std::string& s : items) SendMessageW(combo, CB_ADDSTRING, 0, (LPARAM)Wide(s).c_str());
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        W.dialog = dialog;
        HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_BUILDER));
        SendMessageW(dialog, WM_SETICON, ICON_BIG, (LPARAM)icon);
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, (LPARAM)icon);
        Fill(GetDlgItem(dialog, IDC_DIR), pack::DirectoryMacros());
        for (int id : {IDC_METHOD, IDC_LEVEL, IDC_ELEVATION}) {
            Fill(GetDlgItem(dialog, id), ChoicesOf(id));
            SendDlgItemMessageW(dialog, id, CB_SETCURSEL, DefaultOf(id), 0);
        }
        SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETRANGE32, 0, 100);
        ShowLimits();
        // A folder dropped onto the program's icon or given on its command line; or a
        // project file opened with it.
        const std::string start = reinterpret_cast<const char*>(lParam);
        const DWORD attributes = start.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(Wide(start).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) Propose(start);
        else if (!start.empty()) OpenProject(start);
        return TRUE;
    }
    case kBuildProgress:
        SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETPOS, wParam, 0);
        return TRUE;
    case kBuildEnded:
        BuildEnded();
        return TRUE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (id == IDOK && !W.worker) StartBuild();
        else if (id == IDCANCEL && W.worker) W.cancel = true;   // the build ends at its next step
        else if (id == IDCANCEL) EndDialog(dialog, 0);
        else if (id == IDC_OPEN && !W.worker) {
            const Field project = {0, "project", Kind::File, nullptr, kProjects};
            const std::string path = PickFile(project, false);
            if (!path.empty()) OpenProject(path);
        }
        else if (id == IDC_SAVE && !W.worker) SaveProject();
        else if (id > IDC_BROWSE + 1000 && id < IDC_BROWSE + 1100) {
            for (const Field& f : kFields) {
                if (f.id + IDC_BROWSE != id) continue;
                const std::string picked = f.kind == Kind::Folder ? PickFolder() : PickFile(f, f.kind == Kind::Output);
                if (!picked.empty() && f.kind == Kind::Folder && Text(IDC_OUTPUT).empty()) Propose(picked);
                else if (!picked.empty()) SetText(f.id, picked);
            }
        }
        return TRUE;
    }
    case WM_CLOSE:
        if (W.worker) W.cancel = true;
        else EndDialog(dialog, 0);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Only the system's own folders are searched for the DLLs the program loads later.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const std::string start = argc > 1 && argv ? Utf8(argv[1]) : "";
    if (argv) LocalFree(argv);
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_BUILDER), nullptr, DialogProc, (LPARAM)start.c_str());
    CoUninitialize();
    return 0;
}
