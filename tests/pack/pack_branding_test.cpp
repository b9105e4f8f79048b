// The author's icon, version information and signature on the real stub, read back by
// readers of their own (pefile, wrestool, osslsigncode) and by the stub's core.
#include <tuple>

#include "pack.h"
#include "pack_files.h"
#include "pe_resources.h"

namespace {

using packtest::ReadAll;
using packtest::Result;
using packtest::U32At;
using packtest::WriteAll;

void Put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) s[at + i] = char(v >> (8 * i));
}

// Where an image's headers are, as the builder finds them.
pe::Headers HeadersOf(const std::string& image) {
    pe::Headers h;
    EXPECT_TRUE(pe::FindHeaders(fixtures::TextBytes(image), h));
    return h;
}

class Branding : public packtest::PackTest {
protected:
    void SetUp() override {
        ASSERT_GE(stub_.size(), 2048u) << "no stub at " VARNEX_STUB;
        WriteAll(dir_ / "app.ico", ReadAll(VARNEX_TEST_ICON));
        WriteAll(dir_ / "in/readme.txt", "Read me.\r\n");
        WriteAll(dir_ / "in/data/table.csv", std::string(3000, 'x') + "\n");
    }

    // Builds OUT from the arguments with the real stub; expects success.
    void Build(const std::string& out, const std::vector<std::string>& args) { PackTest::Build(out, args, VARNEX_STUB); }
    // pe_read_back.py's comparison of a branded image with the stub, the .ico and the keys.
    Result Check(const std::string& image, const std::string& ico, const std::vector<std::string>& keys) {
        std::string cmd = PYTHON3 " '" PE_READ_BACK "' branded '" + image + "' '" VARNEX_STUB "' '" + ico + "'";
        for (const std::string& k : keys) cmd += " '" + k + "'";
        const int status = Shell(cmd + " > check.txt 2>&1");
        return {status, ReadAll(dir_ / "check.txt")};
    }

    const std::string stub_ = ReadAll(VARNEX_STUB);
};

TEST_F(Branding, IconAndVersionInformationReadBackByIndependentReaders) {
    const std::vector<std::string> keys = {
        "ProductName=Ünïcode Setup ✓", "FileDescription=Installer of the sample", "CompanyName=ACME",
        "LegalCopyright=© 2024 ACME", "ProductVersion=2.5 beta", "FileVersion=1.2.3.4",
        "OriginalFilename=setup.exe", "Comments=say \"hi\""};
    // Each with what pefile reads from the fixed fields (nothing without version information)
    // and the manifest's execution level.
    struct Case { const char* name; bool icon; std::vector<std::string> keys; const char* fixed, *elevation, *level; };
    const Case cases[] = {
        {"both.exe", true, keys, "fixed file=1.2.3.4 product=2.5.0.0", "require-administrator", "requireAdministrator"},
        {"version.exe", false, {"FileVersion=65535.7"}, "fixed file=65535.7.0.0 product=0.0.0.0", nullptr, "asInvoker"},
        {"icon.exe", true, {}, "", nullptr, "asInvoker"},
        {"elevated.exe", false, {}, "", "highest-available", "highestAvailable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--checksum", "--restore-attributes", "in/."};
        if (c.icon) args.insert(args.end(), {"--icon", "app.ico"});
        for (const std::string& k : c.keys) args.insert(args.end(), {"--version-info", k});
        if (c.elevation) args.insert(args.end(), {"--elevation", c.elevation});
        Build(c.name, args);
        const Result r = Check(c.name, c.icon ? "app.ico" : "-", c.keys);
        EXPECT_EQ(r.status, 0) << r.out;
        // The fixed fields' line, none without version information, and the manifest's.
        auto line = [&r](const char* start) {
            const size_t at = r.out.find(start);
            return at == std::string::npos ? "" : r.out.substr(at, r.out.find('\n', at) - at);
        };
        EXPECT_EQ(line("fixed "), c.fixed) << r.out;
        EXPECT_EQ(line("manifest level="), std::string("manifest level=") + c.level) << r.out;
        // The core finds the archive after the grown stub and checks its sum.
        Expect({"test", c.name}, 0);
        // The same inputs, the same bytes.
        const std::string first = ReadAll(dir_ / c.name);
        Build(c.name, args);
        EXPECT_EQ(ReadAll(dir_ / c.name), first);
    }
    // wrestool lists the tree in its stored order, which the loader searches by halves.
    ASSERT_EQ(Shell("wrestool -l both.exe > listing.txt"), 0);
    const std::string listing = ReadAll(dir_ / "listing.txt");
    const size_t group = listing.find("--type=14 --name='IDI_ICON1' --language=0"),
                 version = listing.find("--type=16 --name=1 --language=0"), manifest = listing.find("--type=24");
    EXPECT_TRUE(group < version && version < manifest && manifest != std::string::npos) << listing;
    EXPECT_NE(listing.find("--type=3 --name=3 --language=0"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("--type=3 --name=4"), std::string::npos) << listing;
}

TEST_F(Branding, StubsWhoseResourcesCannotBeRebuiltAreRefused) {
    const pe::Headers pe = HeadersOf(stub_);
    std::string signedStub = stub_, appended = stub_ + std::string(512, 'z'), notLast = stub_, noGroup = stub_;
    const std::string cut = stub_.substr(0, pe.Checksum());   // ends inside the optional header
    Put32(signedStub, pe.Directory(4) + 4, 0x100);            // a certificate table's size
    Put32(notLast, pe.Section(0) + 12, 0x7F000000);           // .text placed after .rsrc
    const std::u16string name = u"IDI_ICON1";
    const size_t at = noGroup.find(std::string((const char*)name.data(), 2 * name.size()));
    ASSERT_NE(at, std::string::npos);
    noGroup[at + 16] = '2';
    const std::pair<std::string, const char*> cases[] = {
        {cut, "is not a Windows program (no complete PE header)"},
        {signedStub, "is signed; give the unsigned stub"},
        {appended, "has data after its last section"},
        {notLast, "the resource section is not its last section"},
        {noGroup, "has no icon group IDI_ICON1 to replace"},
    };
    WriteAll(dir_ / "out.exe", "previous");
    for (const auto& [stub, message] : cases) {
        WriteAll(dir_ / "bad-stub.exe", stub);
        Expect({"--stub", "bad-stub.exe", "-o", "out.exe", "--icon", "app.ico", "in"}, 1, {message});
        EXPECT_EQ(ReadAll(dir_ / "out.exe"), "previous");
    }
}

class BrandingSigned : public Branding {
protected:
    void SetUp() override {
        Branding::SetUp();
        // A code-signing certificate made now (no private key is kept in the repository):
        // signer.p12 with its password in signer.pass, and cert.pem, the trust anchor.
        ASSERT_EQ(Shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 30 "
                        "-subj '/CN=Varnex Test Signer' -addext extendedKeyUsage=codeSigning >/dev/null 2>&1 && "
                        "openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.p12 -passout pass:test-pass "
                        ">/dev/null 2>&1 && printf 'test-pass\\n' > signer.pass"), 0);
    }
    std::vector<std::string> Sign(std::vector<std::string> args) {
        args.insert(args.begin(), {"--sign-pkcs12", "signer.p12", "--sign-password-file", "signer.pass"});
        return args;
    }
};

TEST_F(BrandingSigned, SignedImagesVerifyAndStillInstall) {
    // Stored data makes the image's size follow the input's: one case ends its archive on
    // an 8-byte boundary, so the certificate table follows its final 0 byte directly.
    WriteAll(dir_ / "in/pad.bin", "");
    Build("probe.exe", {"--method", "lh0", "in/."});
    WriteAll(dir_ / "in/pad.bin", std::string((8 - std::filesystem::file_size(dir_ / "probe.exe") % 8) % 8, 'p'));
    struct Case { const char* name; std::vector<std::string> args; } cases[] = {
        {"stored.exe", {"--method", "lh0", "in/."}},
        {"branded.exe", {"--checksum", "--icon", "app.ico", "--version-info", "FileVersion=3.1", "--elevation",
                         "highest-available", "in/."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Build(std::string("unsigned-") + c.name, c.args);
        Build(c.name, Sign(c.args));
        const std::string plain = ReadAll(dir_ / ("unsigned-" + std::string(c.name))), image = ReadAll(dir_ / c.name);
        const pe::Headers pe = HeadersOf(image);
        if (c.name == std::string("stored.exe")) EXPECT_EQ(plain.size() % 8, 0u) << "the case lost its alignment";
        EXPECT_EQ(U32At(image, pe.Directory(4)), (plain.size() + 7) / 8 * 8) << "the table follows the archive";
        // What osslsigncode returns is accepted only with nothing changed but the signature.
        const lzh::Bytes before(plain.begin(), plain.end()), after(image.begin(), image.end());
        EXPECT_TRUE(pe::OnlySignatureAdded(before, after));
        lzh::Bytes changed = after, longer = after;
        changed[plain.size() - 2] ^= 1;
        longer.push_back(0);
        EXPECT_FALSE(pe::OnlySignatureAdded(before, changed));
        EXPECT_FALSE(pe::OnlySignatureAdded(before, longer));
        ASSERT_EQ(Shell("osslsigncode verify -CAfile cert.pem -in " + std::string(c.name) + " > verify.txt 2>&1"), 0);
        EXPECT_NE(ReadAll(dir_ / "verify.txt").find("Signature verification: ok"), std::string::npos);
        // The certificate table is not taken for one more member, by the tools' reading or
        // by the walk that installs.
        Expect({"test", c.name}, 0, {"4 members tested, 0 with errors"});
        Expect({"extract", c.name, "-d", "x-" + std::string(c.name)}, 0);
        EXPECT_EQ(fixtures::Tree(dir_ / "in"), fixtures::Tree(dir_ / ("x-" + std::string(c.name))));
        // A signed self-extractor wraps into what its unsigned twin gives: no signature.
        Build("wrapped-signed.exe", {"--wrap", c.name});
        Build("wrapped-plain.exe", {"--wrap", "unsigned-" + std::string(c.name)});
        EXPECT_EQ(ReadAll(dir_ / "wrapped-signed.exe"), ReadAll(dir_ / "wrapped-plain.exe"));
    }
    EXPECT_EQ(Check("branded.exe", "app.ico", {"FileVersion=3.1"}).status, 0);
    // A fixed signing time gives the same signed bytes.
    setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    Build("again.exe", Sign(cases[1].args));
    Build("again2.exe", Sign(cases[1].args));
    unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_EQ(ReadAll(dir_ / "again.exe"), ReadAll(dir_ / "again2.exe"));
}

TEST_F(BrandingSigned, FailuresNameTheCauseAndLeaveNothing) {
    WriteAll(dir_ / "wrong.pass", "not-it\n");
    std::filesystem::create_directories(dir_ / "tmp");
    const std::string path = getenv("PATH");
    struct Case { std::vector<std::string> args; const char* path; const char* message; } cases[] = {
        {{"--sign-pkcs12", "signer.p12", "in"}, nullptr, "(for a PKCS#12 file with a password, give --sign-password-file)"},
        {{"--sign-pkcs12", "signer.p12", "--sign-password-file", "wrong.pass", "in"}, nullptr, "could not sign out.exe: "},
        {{"--sign-pkcs12", "signer.p12", "in"}, "/nonexistent", "needs osslsigncode, which is not installed"},
    };
    WriteAll(dir_ / "out.exe", "previous");
    setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    for (const Case& c : cases) {
        if (c.path) setenv("PATH", c.path, 1);
        std::vector<std::string> args = {"-q", "--stub", VARNEX_STUB, "-o", "out.exe"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = Expect(args, 1, {c.message});
        setenv("PATH", path.c_str(), 1);
        // osslsigncode's reason, without OpenSSL's error stack or its closing "Failed".
        EXPECT_EQ(r.err.find(":error:"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("; Failed\n"), std::string::npos) << r.err;
        EXPECT_EQ(ReadAll(dir_ / "out.exe"), "previous");
    }
    unsetenv("TMPDIR");
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "tmp")) << "a temporary of the signing step was left";
}

TEST_F(Branding, ResourceTreeLaidOutAnewIsTheLinkersAndDamageIsRefused) {
    const lzh::Bytes stub(stub_.begin(), stub_.end());
    EXPECT_EQ(pe::ReplaceResources(stub, pe::ReadResources(stub, "stub"), "stub"), stub);
    EXPECT_EQ(pe::Checksum(stub), U32At(stub_, HeadersOf(stub_).Checksum()));

    // Named types and names, other languages and code pages come back as they went in, in
    // the order the loader searches: names before numbers, each level sorted.
    std::vector<pe::Resource> resources = pe::ReadResources(stub, "stub");
    resources.push_back({pe::ResourceName::Text(u"ZDATA"), pe::ResourceName::Id(7), 0x411, 932, {1, 2, 3}});
    resources.push_back({pe::ResourceName::Text(u"ZDATA"), pe::ResourceName::Text(u"B"), 0x409, 1252, {4, 5}});
    const std::vector<pe::Resource> back =
        pe::ReadResources(pe::ReplaceResources(stub, resources, "stub"), "stub");
    auto key = [](const pe::Resource& r) { return std::make_tuple(r.type, r.name, r.language); };
    auto same = [&](const pe::Resource& a, const pe::Resource& b) {
        return key(a) == key(b) && a.codePage == b.codePage && a.data == b.data;
    };
    ASSERT_EQ(back.size(), resources.size());
    EXPECT_TRUE(std::is_permutation(back.begin(), back.end(), resources.begin(), same));
    EXPECT_TRUE(std::is_sorted(back.begin(), back.end(), [&](auto& a, auto& b) { return key(a) < key(b); }));
    EXPECT_EQ(back.front().type, pe::ResourceName::Text(u"ZDATA"));

    // Damage at places found by following the tree: the root, the first type's
    // directory, its first name's directory and that one's data entry.
    const pe::Headers pe = HeadersOf(stub_);
    const size_t rsrc = U32At(stub_, pe.Section(pe.sectionCount - 1) + 20);
    const size_t type = U32At(stub_, rsrc + 20) & 0x7FFFFFFF, name = U32At(stub_, rsrc + type + 20) & 0x7FFFFFFF,
                 data = U32At(stub_, rsrc + name + 20);
    const std::pair<size_t, uint32_t> cases[] = {
        {rsrc + 12, 0xFFFFFFFF},                 // 131070 entries
        {rsrc + 20, 0x80000000},                 // the first type's directory is the root
        {rsrc + type + 20, name},                // a data entry where a directory belongs
        {rsrc + data, 0xFFFFFFF0},               // data outside the image
    };
    for (const auto& [at, value] : cases) {
        std::string bad = stub_;
        Put32(bad, at, value);
        EXPECT_THROW(pe::ReadResources(lzh::Bytes(bad.begin(), bad.end()), "stub"), pack::Error) << at << " " << value;
    }
}

}  // namespace
