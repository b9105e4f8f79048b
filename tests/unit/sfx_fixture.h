// A run of the core over the POSIX port: an image built with the archive writer in a
// temporary directory, a fresh workspace, AbortRun's exit caught, the message boxes.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "../common/fixtures.h"
#include "lzh/archive_writer.h"
#include "port/posix_port.h"
#include "sfx/archive_walk.h"
#include "sfx/report.h"
#include "sfx/settings.h"
#include "sfx/text.h"

using lzh::StoredMember;
using Strings = std::vector<std::string>;
using fixtures::TextBytes;

class SfxRun : public ::testing::Test {
protected:
    fixtures::ScratchDir scratch;
    std::string dir = scratch.path;

    void SetUp() override {
        PosixResetPort();
        ASSERT_FALSE(dir.empty());
        IsWin32s = 0;
    }
    // What an aborted walk leaves (the process would end there) goes too.
    void TearDown() override { EndRun(); }
    std::string Image() const { return dir + "/setup.exe"; }
    std::string WriteImage(const lzh::Bytes& archive, const lzh::SfxConfig& config = {}) {
        lzh::Bytes image;
        EXPECT_TRUE(lzh::BuildImage(lzh::Bytes(1232, 0), config, archive, image));
        EXPECT_TRUE(lzh::WriteFile(Image(), image));
        return Image();
    }
    std::string WriteImage(const std::vector<lzh::Member>& members, const lzh::SfxConfig& config = {}) {
        return WriteImage(lzh::WriteArchive(members, config.archiveFlags & 4), config);
    }
    // A workspace as start-up leaves it before the preflight pass.
    void Prepare(const std::string& image) {
        EndRun();
        ASSERT_TRUE(BeginRun());
        PosixSetModulePath(image);
        PortModuleFileName(Ws->ImagePath, sizeof Ws->ImagePath);
        ReadConfigBlock();
        PosixClearTranscript();
    }
    bool Extract(const std::string& into) {
        Choose(into);
        return ExtractChosen();
    }
    void Choose(const std::string& into) { TextCopy(Ws->ChosenDir, 256, (dir + "/" + into).c_str()); }
    static bool ExtractChosen() { return WalkArchive(reinterpret_cast<PortWindow>(0x1234), ExtractionPass); }
    // Runs f expecting AbortRun; returns the exit status (-1 when f returned).
    template <class F> static int Aborts(F f) {
        try {
            f();
        } catch (const PosixExit& e) {
            return e.status;
        }
        return -1;
    }
    // The transcript's events of a kind (with that text, when given), or their texts.
    static std::vector<PosixEvent> Events(PosixEvent::Kind kind, const char* text = nullptr, int32_t id = -1) {
        std::vector<PosixEvent> out;
        for (const PosixEvent& e : PosixTranscript())
            if (e.kind == kind && (!text || e.text == text) && (id < 0 || e.id == id)) out.push_back(e);
        return out;
    }
    static Strings Texts(PosixEvent::Kind kind, int32_t id = -1) {
        Strings out;
        for (const PosixEvent& e : Events(kind, nullptr, id)) out.push_back(e.text);
        return out;
    }
    static Strings Boxes() { return Texts(PosixEvent::MessageBox); }
    static std::string Quoted(const std::string& subject, const std::string& message) {
        return "\"" + subject + "\" " + message;
    }
    static std::string Contents(const std::string& path) { return fixtures::ReadAll(path); }
};
