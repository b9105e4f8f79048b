// The installer dialog over the POSIX port's simulated screen and a real image, and the
// compiled resource templates checked field by field against their required layout.
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "sfx/ui.h"
#include "sfx_fixture.h"

namespace {

using Step = PosixDialogStep;

std::vector<PosixEvent> Events(PosixEvent::Kind kind, const char* text = nullptr) {
    std::vector<PosixEvent> out;
    for (const PosixEvent& e : PosixTranscript())
        if (e.kind == kind && (!text || e.text == text)) out.push_back(e);
    return out;
}

// A workspace as start-up hands it to the dialog, over an image holding one stored
// member of 200000 bytes (four progress reports).
class Dialog : public SfxRun {
protected:
    void SetUp() override {
        SfxRun::SetUp();
        Prepare(WriteImage({StoredMember("big.bin", lzh::Bytes(200000, 'v'))}));
        mkdir((dir + "/My Dir").c_str(), 0700);
        TextCopy(Ws->Config.WindowTitle, 41, "Setup Title");
        TextCopy(Ws->Config.InstallDir, 256, "C:\\Apps");
    }
    void TearDown() override {
        SfxRun::TearDown();
        AutoStart = 0;
    }
    // The dialog's result, or the status AbortRun ended the process with.
    intptr_t Show(const std::vector<Step>& script) {
        PosixSetDialogScript(script);
        intptr_t result = 0;
        int status = Aborts([&] { result = PortDialogBox(nullptr, "SfxDialog", nullptr, SfxDialogProc, 0); });
        return status >= 0 ? status : result;
    }
    bool Exists(const std::string& path) { return access((dir + path).c_str(), F_OK) == 0; }
};

TEST_F(Dialog, StartShowsTheConfigurationAndArmsTheTimerOnlyWithAutoStart) {
    EXPECT_EQ(Show({{Step::Type, IdDirField, std::string(300, 'x')}, {Step::Close}}), 0);
    EXPECT_EQ(Events(PosixEvent::WindowText, "Setup Title").size(), 1u);
    EXPECT_EQ(PosixItemText(IdDirLabel), "Install &Directory:");   // empty InstallTitle
    EXPECT_EQ(PosixItemText(IdDirField).size(), 255u);
    EXPECT_TRUE(Events(PosixEvent::Timer).empty());

    AutoStart = 1;
    TextCopy(Ws->Config.InstallTitle, 41, "Target folder:");
    EXPECT_EQ(Show({{Step::Command, IdCancel}}), 0);
    EXPECT_EQ(PosixItemText(IdDirLabel), "Target folder:");
    EXPECT_EQ(PosixItemText(IdDirField), "C:\\Apps");
    auto timers = Events(PosixEvent::Timer);
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(std::make_tuple(timers[0].id, timers[0].style), std::make_tuple(1, 700u));
}

TEST_F(Dialog, OkRefusesNetworkPathsThenExtractsIntoTheUnquotedDirectory) {
    EXPECT_EQ(Show({{Step::Type, IdDirField, "\\\\server\\share"}, {Step::Command, IdOk},
                    {Step::Type, IdDirField, "//server/share"}, {Step::Command, IdOk},
                    {Step::Type, IdDirField, "\"" + dir + "/My \"Dir\""}, {Step::Command, IdOk}}),
              1);
    auto boxes = Events(PosixEvent::MessageBox);
    ASSERT_EQ(boxes.size(), 2u);
    for (const PosixEvent& box : boxes)
        EXPECT_EQ(std::make_tuple(box.text, box.caption, box.style, box.owner != nullptr),
                  std::make_tuple("Invalid directory", "Setup Title", 0x2030u, true));
    EXPECT_EQ(Ws->ChosenDir, dir + "/My Dir");
    EXPECT_TRUE(Exists("/My Dir/big.bin"));
    EXPECT_EQ(PosixItemText(IdProgressPercent), "Extract... 100%");
    // Only the accepted OK disables the controls.
    EXPECT_EQ(Events(PosixEvent::EnableItem).size(), 3u);
    EXPECT_FALSE(PosixItemEnabled(IdOk) || PosixItemEnabled(IdReference) || PosixItemEnabled(IdDirField));
}

TEST_F(Dialog, TimerConfirmsWithTheFieldAsTypedAndFiresOnce) {
    AutoStart = 1;
    EXPECT_EQ(Show({{Step::Type, IdDirField, dir}, {Step::FireTimer}, {Step::FireTimer}}), 1);
    EXPECT_TRUE(Exists("/big.bin"));
    EXPECT_EQ(Events(PosixEvent::EndDialog).size(), 1u);
}

// At the first progress report the timer's late OK and a Cancel are waiting; the pass's
// pump must ignore the one and act on the other.
TEST_F(Dialog, DuringExtractionCancelEndsTheRunAndALateOkIsIgnored) {
    AutoStart = 1;
    bool staged = false;
    PosixSetItemTextHook([&](int32_t id, const char* text) {
        if (id != IdProgressPercent || TextEqual(text, "Extract... 0%") || staged) return;
        staged = true;
        PortWindow dialog = PosixTranscript().back().owner;
        SfxDialogProc(dialog, PortWmTimer, 1, 0);
        PosixPostCommand(IdCancel);
        EXPECT_EQ(SfxDialogProc(dialog, PortWmClose, 0, 0), 0);   // the platform makes it Cancel
        EXPECT_NE(SfxDialogProc(dialog, PortWmQueryDragIcon, 0, 0), 0);   // icon still held
    });
    EXPECT_EQ(Show({{Step::Type, IdDirField, dir}, {Step::Command, IdOk}}), 1);
    EXPECT_TRUE(staged);
    EXPECT_EQ(PosixItemText(IdProgressPercent), "Extract... 32%");
    EXPECT_FALSE(Exists("/big.bin"));
    EXPECT_EQ(Events(PosixEvent::EnableItem).size(), 3u);
    EXPECT_TRUE(Events(PosixEvent::EndDialog).empty());
}

TEST_F(Dialog, ChooserResultGoesIntoTheFieldQuotedWhenItHasASpace) {
    PosixSetChooserResult("C:\\Program Files\\App\\work.txt");
    Show({{Step::Command, IdReference}, {Step::Close}});
    EXPECT_EQ(PosixItemText(IdDirField), "\"C:\\Program Files\\App\"");
    EXPECT_EQ(DialogIcon, nullptr);   // released when the dialog ends

    PosixSetChooserResult("D:\\work.txt");   // a drive root keeps only letter and colon
    Show({{Step::Command, IdReference}, {Step::Close}});
    EXPECT_EQ(PosixItemText(IdDirField), "D:");

    PosixSetChooserResult("");   // cancelled: the field keeps its text
    Show({{Step::Type, IdDirField, "F:\\kept"}, {Step::Command, IdReference}, {Step::Close}});
    EXPECT_EQ(PosixItemText(IdDirField), "F:\\kept");
}

// ---- the compiled resources ----------------------------------------------------------

struct Reader {
    std::vector<uint8_t> b;
    size_t p = 0;
    uint32_t W() { p += 2; return p <= b.size() ? (uint32_t)(b[p - 2] | b[p - 1] << 8) : 0; }
    uint32_t D() { uint32_t lo = W(); return lo | W() << 16; }
    int S() { return (int16_t)W(); }
    void Align() { p = (p + 3) & ~size_t(3); }
    std::vector<uint32_t> Words(int n) {   // in order (argument lists evaluate in any order)
        std::vector<uint32_t> v;
        while (n--) v.push_back(W());
        return v;
    }
    std::string SzOrOrd() {   // ordinals come back as "#n"
        if (p + 2 <= b.size() && b[p] == 0xFF && b[p + 1] == 0xFF) { p += 2; return "#" + std::to_string(W()); }
        std::string s;
        for (uint32_t c; (c = W()) != 0 && p <= b.size();) s += (char)c;
        return s;
    }
};

// type name -> data, names as the compiler keeps them ("#n" for ordinals).
std::vector<std::tuple<std::string, std::string, Reader>> CompileResources() {
    const std::string res = testing::TempDir() + "varnex_ui.res", src = VARNEX_SOURCE_DIR "/src/res";
    std::vector<std::tuple<std::string, std::string, Reader>> out;
    if (system(("i686-w64-mingw32-windres -I " + src + " " + src + "/varnex32.rc -O res -o " + res).c_str()))
        return out;
    Reader file;
    if (FILE* f = fopen(res.c_str(), "rb")) {
        for (int c; (c = fgetc(f)) != EOF;) file.b.push_back((uint8_t)c);
        fclose(f);
    }
    while (file.p + 32 <= file.b.size()) {
        size_t at = file.p;
        uint32_t size = file.D(), header = file.D();
        std::string type = file.SzOrOrd(), name = file.SzOrOrd();
        if (at + header + size > file.b.size()) break;
        Reader data;
        data.b.assign(file.b.begin() + at + header, file.b.begin() + at + header + size);
        if (size) out.emplace_back(type, name, data);
        file.p = at + header + size;
        file.Align();
    }
    return out;
}

enum : uint32_t {
    Child = 0x40000000, Visible = 0x10000000, Disabled = 0x08000000, Border = 0x00800000,
    VScroll = 0x00200000, Group = 0x00020000, TabStop = 0x00010000,
    DialogStyle = 0x80000000 | 0x00C00000 | 0x00080000 | 0x80,   // popup, caption, sysmenu, modal frame
    Edit = 0x80 | 0x400,   // auto horizontal scroll, OEM conversion
    ListStyle = 0x1 | 0x2 | 0x10 | 0x40 | 0x1000 | VScroll | Border,
    DriveStyle = 0x3 | 0x10 | 0x40 | 0x100 | 0x200 | VScroll | Border,
};
using Item = std::tuple<int, std::string, std::string, int, int, int, int, uint32_t>;   // id class text x y cx cy style

const std::vector<Item> SfxItems = {
    {103, "#130", "Install &Directory:", 10, 7, 157, 8, Child | Visible | Group},
    {100, "#129", "", 10, 18, 135, 12, Child | Visible | Border | TabStop | Edit},
    {104, "#128", "&Reference...", 148, 17, 48, 14, Child | Visible | TabStop},
    {101, "#130", "", 12, 32, 130, 8, Child | Visible | Group | 0xC},
    {102, "#130", "", 148, 32, 45, 8, Child | Visible | Group | 0xC},
    {1, "#128", "&Ok", 49, 44, 40, 14, Child | Visible | TabStop | 1},
    {2, "#128", "&Cancel", 114, 44, 40, 14, Child | Visible | TabStop},
};
const std::vector<Item> DirItems = {
    {65535, "#130", "&Directory:", 10, 11, 92, 9, Child | Visible | Group},
    {1088, "#130", "", 10, 22, 92, 9, Child | Visible | Group | 0x80},
    {1121, "#131", "", 10, 34, 92, 68, Child | Visible | TabStop | ListStyle},
    {1091, "#130", "Dri&ve:", 10, 106, 92, 9, Child | Visible | Group},
    {1137, "#133", "", 10, 116, 92, 68, Child | Visible | TabStop | DriveStyle},
    {1, "#128", "&Ok", 115, 12, 50, 14, Child | Visible | Group | TabStop | 1},
    {2, "#128", "&Cancel", 115, 30, 50, 14, Child | Visible | Group | TabStop},
    {1038, "#128", "&Help", 115, 55, 50, 14, Child | Visible | Group | TabStop},
    {1090, "#130", "File&name:", -269, 8, 76, 9, Child | Disabled | Group},
    {1152, "#129", "", -271, 20, 90, 12, Child | Disabled | Border | TabStop | Edit},
    {1120, "#131", "", -269, 37, 90, 68, Child | Disabled | ListStyle},
    {1089, "#130", "File &Type:", -269, 109, 90, 9, Child | Disabled | Group},
    {1136, "#133", "", -268, 121, 90, 36, Child | Disabled | VScroll | Border | 0x3 | 0x40},
    {1040, "#128", "Over&write", -263, 139, 63, 12, Child | Disabled | Group | 0x3},
};

// An extended template carries help ids, puts the extended style first and has 32-bit ids.
void CheckTemplate(Reader r, bool ex, std::tuple<uint32_t, uint32_t, int, int, int, int, std::string> head,
                   const std::vector<Item>& items) {
    if (ex) EXPECT_EQ(r.Words(4), (std::vector<uint32_t>{1, 0xFFFF, 0, 0}));   // version, signature, help id
    uint32_t a = r.D(), b = r.D();
    ASSERT_EQ(r.W(), items.size());
    int x = r.S(), y = r.S(), cx = r.S(), cy = r.S();
    std::string menu = r.SzOrOrd(), cls = r.SzOrOrd(), title = r.SzOrOrd();
    EXPECT_EQ(menu + cls, "");
    EXPECT_EQ(std::make_tuple(ex ? b : a, ex ? a : b, x, y, cx, cy, title), head);   // no DS_SETFONT: no font
    for (const Item& want : items) {
        r.Align();
        if (ex) r.D();
        uint32_t s = r.D(), e = r.D();
        int ix = r.S(), iy = r.S(), icx = r.S(), icy = r.S(), id = ex ? r.D() : r.W();
        std::string cls = r.SzOrOrd(), text = r.SzOrOrd();
        EXPECT_EQ(Item(id, cls, text, ix, iy, icx, icy, ex ? e : s), want);
        EXPECT_EQ(std::make_tuple(ex ? s : e, r.W()), std::make_tuple(0u, 0u));   // no extended style, no data
    }
    EXPECT_LE(r.p, r.b.size());
}

TEST(Resources, TemplatesIconAndManifestAreAsLaidDown) {
    auto all = CompileResources();
    ASSERT_FALSE(all.empty()) << "i686-w64-mingw32-windres compiled nothing";
    auto find = [&](const std::string& type, const std::string& name) {
        for (auto& [t, n, data] : all)
            if (t == type && n == name) return data;
        ADD_FAILURE() << "no resource " << type << " " << name;
        return Reader{};
    };
    CheckTemplate(find("#5", "SFXDIALOG"), true, {DialogStyle, 1, 32, 32, 205, 66, "Install"}, SfxItems);
    CheckTemplate(find("#5", "GETDIRDIALOG"), false, {DialogStyle, 0, 24, 24, 175, 140, ""}, DirItems);

    // The only icon group: a 32x32 and a 16x16 image, 16 colours, 4 bits per pixel.
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](auto& r) { return std::get<0>(r) == "#14"; }), 1);
    Reader group = find("#14", "IDI_ICON1");
    ASSERT_EQ(group.Words(3), (std::vector<uint32_t>{0, 1, 2}));
    for (uint32_t size : {32u, 16u}) {
        // width | height << 8, colours, planes, bits per pixel, bytes (two words), image id
        std::vector<uint32_t> entry = group.Words(7);
        EXPECT_EQ(std::vector<uint32_t>(entry.begin(), entry.begin() + 4),
                  (std::vector<uint32_t>{size | size << 8, 16, 1, 4}));
        // header, 16 colours, 4-bit pixels, and mask rows padded to 4 bytes
        EXPECT_EQ(find("#3", "#" + std::to_string(entry[6])).b.size(), 40 + 16 * 4 + size * (size / 2 + 4));
    }

    Reader manifest = find("#24", "#1");
    const std::string xml(manifest.b.begin(), manifest.b.end());
    for (const char* part : {"level=\"asInvoker\"", "uiAccess=\"false\"", "e2011457-1546-43c5-a5fe-008deee3d3f0",
                             "35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                             "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
        EXPECT_NE(xml.find(part), std::string::npos) << part;
    EXPECT_EQ(xml.find("Common-Controls"), std::string::npos);   // would change the dialogs' look
}

}  // namespace
