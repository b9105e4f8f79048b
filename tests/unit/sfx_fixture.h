// A run of the core over the POSIX port: an image built with the archive writer in a
// temporary directory, a fresh workspace, an exit trap for AbortRun, and the message
// boxes of the transcript.
#pragma once

#include <gtest/gtest.h>
#include <setjmp.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "lzh/archive_writer.h"
#include "port/posix_port.h"
#include "sfx/archive.h"
#include "sfx/settings.h"
#include "sfx/startup.h"
#include "sfx/text.h"

inline lzh::Bytes TextBytes(const std::string& s) { return lzh::Bytes(s.begin(), s.end()); }

class SfxRun : public ::testing::Test {
protected:
    std::string dir;
    jmp_buf trap;

    void SetUp() override {
        PosixResetPort();
        char tmpl[] = "/tmp/varnex_core_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        OverwriteAll = AutoStart = SkipIfNotNewer = IsWin32s = 0;
        Ws = nullptr;
    }
    // An aborted walk leaves its header buffer (the process would end there).
    static void Release() {
        if (Ws && Ws->Header) PortFree(Ws->Header);
        if (Ws) PortFree(Ws);
        Ws = nullptr;
    }
    void TearDown() override {
        Release();
        PosixSetExitTrap(nullptr);
        std::string cmd = "rm -rf '" + dir + "'";
        (void)system(cmd.c_str());
    }

    // Writes image bytes (a zero stand-in for the program, the block, the archive).
    std::string WriteImage(const lzh::Bytes& archive, lzh::SfxConfig config = {}) {
        lzh::Bytes image;
        std::string error;
        EXPECT_TRUE(lzh::BuildImage(lzh::Bytes(1232, 0), config, archive, image, &error)) << error;
        std::string path = dir + "/setup.exe";
        EXPECT_TRUE(lzh::WriteFile(path, image));
        return path;
    }
    std::string WriteImage(const std::vector<lzh::Member>& members, lzh::SfxConfig config = {}) {
        return WriteImage(lzh::WriteArchive(members, config.archiveFlags & 4), config);
    }

    // A workspace as start-up leaves it before the preflight pass.
    void Prepare(const std::string& image) {
        Release();
        Ws = (SfxWorkspace*)PortAllocZero(sizeof(SfxWorkspace));
        ASSERT_NE(Ws, nullptr);
        PosixSetModulePath(image);
        PortModuleFileName(Ws->ImagePath, sizeof Ws->ImagePath);
        ReadConfigBlock();
    }

    // Both walks as the program runs them; returns the extraction's result.
    bool Extract(const std::string& into) {
        Choose(into);
        return ExtractChosen();
    }
    void Choose(const std::string& into) {
        TextCopy(Ws->ChosenDir, sizeof Ws->ChosenDir, (dir + "/" + into).c_str());
    }
    // No C++ object may live across a walk that ends in AbortRun's longjmp.
    static bool ExtractChosen() { return WalkArchive(reinterpret_cast<PortWindow>(0x1234), ExtractionPass); }

    // Runs f expecting AbortRun; returns the exit status (-1 when it returned normally).
    template <class F> int Aborts(F f) {
        PosixSetExitTrap(&trap);
        if (setjmp(trap) == 0) {
            f();
            PosixSetExitTrap(nullptr);
            return -1;
        }
        PosixSetExitTrap(nullptr);
        return PosixExitStatus();
    }

    static std::vector<std::string> Boxes() {
        std::vector<std::string> out;
        for (const auto& e : PosixTranscript())
            if (e.kind == PosixEvent::MessageBox) out.push_back(e.text);
        return out;
    }
    std::string Quoted(const std::string& subject, const std::string& message) {
        return "\"" + subject + "\" " + message;
    }
    std::string Image() const { return dir + "/setup.exe"; }
    static std::string Contents(const std::string& path) {
        lzh::Bytes b;
        if (!lzh::ReadFile(path, b)) return "<missing>";
        return std::string(b.begin(), b.end());
    }
};
