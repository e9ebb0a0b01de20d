#include "core/update/update_install.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/settings/app_info.h"
#include "core/update/bundle_archive.h"
#include "core/update/bundle_signature.h"
#include "core/update/sha256.h"
#include "core/update/update_error.h"
#include "update_test_support.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;
using test::Identity;
using test::ZipEntry;

constexpr const char* kTeam = "TESTTEAM01";

struct Pki {
    Identity root = Identity::makeRoot("Test Root");
    Identity signer = root.issueSigner(kTeam);
    Identity otherTeam = root.issueSigner("OTHERTEAM1");
    Identity noTeam = root.issueSigner(std::nullopt);
    Identity impostorRoot = Identity::makeRoot("Test Root");  // same name, different key
    Identity impostorSigner = impostorRoot.issueSigner(kTeam);
    Identity strangerRoot = Identity::makeRoot("Stranger Root");
    Identity strangerSigner = strangerRoot.issueSigner(kTeam);
};

const Pki& pki() {
    static const Pki p;
    return p;
}

// Everything about one published release; each failure case changes one thing.
struct Release {
    std::optional<std::string> bundleVersion = "1.4.0";
    bool withPlist = true;
    const Identity* signer = &pki().signer;  // nullptr: unsigned
    std::function<void(const fs::path&)> afterSigning;
    std::function<void(const fs::path&)> beforeSigning;
    std::string folder;  // where the bundle sits in the archive ("" = top level)
    std::vector<ZipEntry> extraEntries;
    std::optional<std::string> rawArchive;
    std::string manifestVersion = "1.4.0";
    std::function<std::optional<std::string>(const std::string&)> sha256 = [](const std::string& d) {
        return std::optional<std::string>(d);
    };
    int status = 200;
    std::optional<std::string> url;
};

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override { test::makeBundle(installed, "1.3.9"); }

    UpdateManifest publish(const Release& r) {
        const fs::path stage = dir.path() / "stage";
        const fs::path bundle = stage / "Trayline.app";
        test::makeBundle(bundle, r.bundleVersion, r.withPlist);
        if (r.beforeSigning)
            r.beforeSigning(bundle);
        if (r.signer)
            r.signer->sign(bundle);
        if (r.afterSigning)
            r.afterSigning(bundle);
        auto entries = test::entriesOf(stage, "Trayline.app", r.folder);
        entries.insert(entries.end(), r.extraEntries.begin(), r.extraEntries.end());
        const std::string zip = r.rawArchive.value_or(test::makeZip(entries));
        server.serve("/Trayline-1.4.0.zip", r.status, zip);
        return {r.manifestVersion, {}, {}, r.url.value_or(server.url("/Trayline-1.4.0.zip")),
                r.sha256(sha256Of(zip)), {}, {}};
    }

    InstallOptions options() const {
        InstallOptions o;
        o.rootCertificatePEM = pki().root.certificatePEM();
        o.teamIdentifier = kTeam;
        o.installedBundle = installed;
        o.temporaryDirectory = temp;
        o.processID = test::exitedProcessID();
        return o;
    }

    void expectUntouched() const {
        EXPECT_EQ(AppInfo::versionOf(installed), "1.3.9");
        EXPECT_EQ(test::readFile(installed / "Contents/Resources/CHANGELOG.md"),
                  "# Changelog\n\n## 1.3.9\n\n- Fixes.\n");
        EXPECT_FALSE(fs::exists(dir.path() / "Apps" / "relaunched"));
        EXPECT_FALSE(fs::exists(installed.string() + ".old"));
        EXPECT_TRUE(!fs::exists(temp) || fs::is_empty(temp)) << "leftovers in the temp dir";
    }

    test::ScratchDir dir;
    test::LoopbackServer server;
    fs::path installed = dir.path() / "Apps" / "Trayline.app";
    fs::path temp = dir.path() / "tmp";
};

struct FailureCase {
    const char* name;
    std::function<void(Release&, const fs::path& scratch)> arrange;
    std::string expected;
};

class InstallFailure : public InstallTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(InstallFailure, IsReportedAndLeavesTheAppUntouched) {
    Release release;
    GetParam().arrange(release, dir.path());
    const UpdateManifest manifest = publish(release);
    try {
        installUpdate(manifest, options());
        ADD_FAILURE() << "installed";
    } catch (const std::exception& e) {
        EXPECT_EQ(e.what(), GetParam().expected);
    }
    expectUntouched();
    EXPECT_FALSE(fs::exists(dir.path() / "abs.txt"));
    EXPECT_FALSE(fs::exists(dir.path() / "outside"));
}

const std::string kRejected = "Download rejected: not signed by the expected developer.\n";
const std::string kChecksum = "Download rejected: checksum doesn't match the manifest.";
const std::string kNoPlist = "Download failed: unreadable Info.plist in the downloaded bundle";
using R = Release&;
using P = const fs::path&;

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallFailure,
    ::testing::Values(
        FailureCase{"BadURL", [](R r, P) { r.url = "not a url"; }, "Download failed: bad download URL"},
        FailureCase{"Http404", [](R r, P) { r.status = 404; }, "Download failed: HTTP 404"},
        FailureCase{"Http500", [](R r, P) { r.status = 500; }, "Download failed: HTTP 500"},
        FailureCase{"WrongChecksum", [](R r, P) { r.sha256 = [](auto&) { return std::string(64, '0'); }; },
                    kChecksum},
        FailureCase{"ChecksumWithTrailingSpace",
                    [](R r, P) { r.sha256 = [](const std::string& d) { return d + " "; }; }, kChecksum},
        FailureCase{"NotAZip", [](R r, P) { r.rawArchive = "PK but not really a zip archive"; },
                    "Download failed: could not unzip (Unrecognized archive format)"},
        FailureCase{"DotDotEntry",
                    [](R r, P) { r.extraEntries.push_back({"../../escaped.txt", "x"}); },
                    "Download failed: could not unzip (Path contains '..': ../../escaped.txt)"},
        FailureCase{"SymlinkOutside",
                    [](R r, P) {
                        r.extraEntries.push_back({"Trayline.app/Contents/Resources/docs",
                                                  "../../../../../outside", ZipEntry::Type::symlink});
                        r.extraEntries.push_back({"Trayline.app/Contents/Resources/docs/pwned", "x"});
                    },
                    "Download failed: could not unzip (Symlink points outside the archive: "
                    "Trayline.app/Contents/Resources/docs -> ../../../../../outside)"},
        FailureCase{"AbsoluteSymlink",
                    [](R r, P) {
                        r.extraEntries.push_back({"Trayline.app/etc", "/etc", ZipEntry::Type::symlink});
                    },
                    "Download failed: could not unzip (Symlink points outside the archive: "
                    "Trayline.app/etc -> /etc)"},
        FailureCase{"AppOnlyInSubfolder", [](R r, P) { r.folder = "release/"; },
                    "Download failed: no .app inside the archive"},
        FailureCase{"Unsigned", [](R r, P) { r.signer = nullptr; },
                    kRejected + "code object is not signed at all"},
        FailureCase{"OtherRoot", [](R r, P) { r.signer = &pki().strangerSigner; },
                    kRejected + "the signing certificate is not trusted (unable to get local issuer "
                                "certificate)"},
        FailureCase{"ImpostorRootOfTheSameName", [](R r, P) { r.signer = &pki().impostorSigner; },
                    kRejected + "the signing certificate is not trusted (certificate signature failure)"},
        FailureCase{"SelfSignedRootAsSigner", [](R r, P) { r.signer = &pki().strangerRoot; },
                    kRejected + "the signing certificate is not trusted (self-signed certificate)"},
        FailureCase{"OtherTeam", [](R r, P) { r.signer = &pki().otherTeam; },
                    kRejected + "the signing certificate belongs to team OTHERTEAM1, not TESTTEAM01"},
        FailureCase{"NoTeam", [](R r, P) { r.signer = &pki().noTeam; },
                    kRejected + "the signing certificate names no team"},
        FailureCase{"FileAddedAfterSigning",
                    [](R r, P) {
                        r.afterSigning = [](P b) { test::writeFile(b / "Contents/Resources/extra.txt", "x"); };
                    },
                    kRejected + "file added: Contents/Resources/extra.txt"},
        FailureCase{"FileChangedAfterSigning",
                    [](R r, P) {
                        r.afterSigning = [](P b) { test::writeFile(b / "Contents/bin/trayline", "#!/bin/sh\n"); };
                    },
                    kRejected + "a sealed resource is missing or invalid: Contents/bin/trayline"},
        FailureCase{"FileRemovedAfterSigning",
                    [](R r, P) {
                        r.afterSigning = [](P b) { fs::remove(b / "Contents/Resources/CHANGELOG.md"); };
                    },
                    kRejected + "a sealed resource is missing or invalid: Contents/Resources/CHANGELOG.md"},
        FailureCase{"SealEditedAfterSigning",
                    [](R r, P) {
                        r.afterSigning = [](P b) {
                            test::writeFile(b / kCodeResourcesPath,
                                            test::readFile(b / kCodeResourcesPath) +
                                                std::string(64, 'a') + "  Contents/extra\n");
                            test::writeFile(b / "Contents/extra", "x");
                        };
                    },
                    kRejected + "invalid signature (code or signature have been modified)"},
        FailureCase{"SymlinkInsideBundle",
                    [](R r, P) {
                        r.afterSigning = [](P b) { fs::create_symlink("bin/trayline", b / "Contents/run"); };
                    },
                    kRejected + "not a regular file: Contents/run"},
        FailureCase{"InfoPlistMissing", [](R r, P) { r.withPlist = false; }, kNoPlist},
        FailureCase{"InfoPlistWithoutVersion", [](R r, P) { r.bundleVersion = std::nullopt; }, kNoPlist},
        FailureCase{"VersionMismatch", [](R r, P) { r.manifestVersion = "1.4"; },
                    "Download rejected: bundle is v1.4.0, manifest promised v1.4."}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(InstallTest, AbsoluteEntryIsRefusedBeforeAnythingIsWritten) {
    Release release;
    const std::string target = (dir.path() / "abs.txt").string();
    release.extraEntries.push_back({target, "x"});
    try {
        installUpdate(publish(release), options());
        ADD_FAILURE() << "installed";
    } catch (const UpdateError& e) {
        EXPECT_EQ(e.what(), "Download failed: could not unzip (Path is absolute: " + target + ")");
    }
    expectUntouched();
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(InstallTest, RefusesAnInstalledLocationThatCannotBeWritten) {
    // Tests run as root, for whom permission bits do not apply: a path under a file is
    // unwritable for everyone.
    test::writeFile(dir.path() / "a file", "");
    InstallOptions o = options();
    o.installedBundle = dir.path() / "a file" / "Trayline.app";
    try {
        installUpdate(publish({}), o);
        ADD_FAILURE() << "installed";
    } catch (const UpdateError& e) {
        EXPECT_EQ(e.kind(), UpdateError::Kind::notWritable);
        EXPECT_EQ(e.what(), "Can't replace " + o.installedBundle->string() + " \u2014 no write permission.");
    }
    expectUntouched();
}

TEST(UnpackArchive, KeepsPermissionsButNotSetID) {
    test::ScratchDir dir;
    test::writeFile(dir.path() / "a.zip",
                    test::makeZip({{"A.app/", "", ZipEntry::Type::directory, 0755},
                                   {"A.app/tool", "#!/bin/sh\n", ZipEntry::Type::file, 04755},
                                   {"A.app/data", "x", ZipEntry::Type::file, 0600}}));
    fs::create_directory(dir.path() / "out");
    unpackArchive(dir.path() / "a.zip", dir.path() / "out");
    EXPECT_EQ(fs::status(dir.path() / "out/A.app/tool").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(dir.path() / "out/A.app/data").permissions(), fs::perms(0600));
    EXPECT_EQ(findAppBundle(dir.path() / "out"), dir.path() / "out/A.app");
}

struct ChecksumCase {
    const char* name;
    std::function<std::optional<std::string>(const std::string&)> sha256;
};

class InstallSuccess : public InstallTest, public ::testing::WithParamInterface<ChecksumCase> {};

TEST_P(InstallSuccess, SwapsTheBundleAndRelaunchesIt) {
    Release release;
    release.sha256 = GetParam().sha256;
    std::vector<InstallStage> stages;
    const InstallLaunch launch =
        installUpdate(publish(release), options(), [&](InstallStage s) { stages.push_back(s); });
    EXPECT_EQ(stages, (std::vector{InstallStage::downloading, InstallStage::verifying,
                                   InstallStage::installing}));

    ASSERT_TRUE(test::waitForFile(dir.path() / "Apps" / "relaunched"));
    EXPECT_EQ(test::readFile(dir.path() / "Apps" / "relaunched"), "1.4.0");
    EXPECT_EQ(AppInfo::versionOf(installed), "1.4.0");
    EXPECT_FALSE(fs::exists(installed.string() + ".old"));
    // The work directory stays; only the new bundle has left it.
    EXPECT_EQ(launch.workDirectory.parent_path(), temp);
    EXPECT_TRUE(launch.workDirectory.filename().string().starts_with("TraylineUpdate-"));
    EXPECT_EQ(launch.workDirectory.filename().string().size(), 15u + 36u);
    EXPECT_TRUE(fs::exists(launch.workDirectory / "update.zip"));
    EXPECT_EQ(launch.script, launch.workDirectory / "unpacked" / "install.sh");
    EXPECT_FALSE(fs::exists(launch.newBundle));
}

std::string upper(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Checksums, InstallSuccess,
    ::testing::Values(ChecksumCase{"LowerCase", [](const std::string& d) { return std::optional(d); }},
                      ChecksumCase{"UpperCase", [](const std::string& d) { return std::optional(upper(d)); }},
                      ChecksumCase{"Absent", [](const std::string&) { return std::optional<std::string>(); }},
                      ChecksumCase{"Empty", [](const std::string&) { return std::optional<std::string>(""); }}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace trayline
