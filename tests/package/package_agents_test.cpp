/*
 * Agents the installing user does not reach: over the released 1.0.0
 * package, whose own removal ends only what its user's window lookup
 * finds, and at an uninstall, an agent on a second desktop (out of a
 * window lookup's reach, as in another session) and a suspended one (no
 * thread with a message queue to take a quit request).  And a signed
 * package, which installs its signed files.
 */
#include "package_fixture.h"

#include <wincrypt.h>

using namespace harness;
using namespace package;

namespace {
const Packages &P() { return TestPackages(); }

// The common name of the certificate that signed file's Authenticode
// signature; "" when it has none.
std::string SignerOf(const std::string &file)
{
    std::wstring wide(file.begin(), file.end());
    HCERTSTORE store = NULL;
    HCRYPTMSG message = NULL;
    std::string name;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, wide.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, NULL, NULL, NULL, &store, &message, NULL))
        return name;
    DWORD size = 0;
    if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, NULL, &size)) {
        std::vector<BYTE> buffer(size);
        CMSG_SIGNER_INFO *signer = (CMSG_SIGNER_INFO *)buffer.data();
        CERT_INFO wanted{};
        if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, signer, &size)) {
            wanted.Issuer = signer->Issuer;
            wanted.SerialNumber = signer->SerialNumber;
            PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                             CERT_FIND_SUBJECT_CERT, &wanted, NULL);
            char cn[256] = "";
            if (cert != NULL) {
                CertGetNameStringA(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, cn, sizeof cn);
                CertFreeCertificateContext(cert);
            }
            name = cn;
        }
    }
    CryptMsgClose(message);
    CertCloseStore(store, 0);
    return name;
}
// major.minor.build of a file's version resource, as Windows Installer
// compares versions; "" when it has none.
std::string FileVersion(const std::string &path)
{
    DWORD ignored, size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO *info = NULL;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\", (void **)&info, &length) || info == NULL)
        return "";
    return std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(info->dwFileVersionLS));
}
}  // namespace

// One agent of 1.0.0, here or on a second desktop, and then this version
// over it: the agent ends before 1.0.0 is removed and before any file
// changes, and one new agent runs from the new file.  One agent at a time:
// the agent's instance object is per session, and Wine's desktops share one.
class OverReleased : public PackageLife, public ::testing::WithParamInterface<bool> {};

TEST_P(OverReleased, UpgradeEndsTheReleasedAgent)
{
    const bool elsewhere = GetParam();
    // 1.0.0 starts its agent itself unless told not to; the agent elsewhere
    // is the only one then.
    Install(P().released, "install-1.0.0", elsewhere ? "START_AGENT=0" : "");
    if (elsewhere)
        StartElsewhere("other", false);
    const std::vector<Agent> old = Agents(1);
    ASSERT_EQ(old.size(), 1u) << "one 1.0.0 agent " << (elsewhere ? "on the second desktop" : "here");
    const MsiRun run = Install(P().current, "upgrade");
    EXPECT_EQ(RegisteredVersion(P().released), "") << "1.0.0 still registered";
    EXPECT_EQ(RegisteredVersion(P().current), P().current.version);
    EXPECT_EQ(FileVersion(AgentFile()), P().current.version) << "the installed agent.exe's version";
    EXPECT_EQ(InstalledFiles(), (std::vector<std::string>{"HIDUSB.dll", "agent.exe"})) << "not only this version's files";
    const std::string quit = "StopAgents: agent " + std::to_string(old[0].pid) + " quit";
    for (const char *action : {"RemoveExistingProducts", "InstallFiles"})
        EXPECT_TRUE(run.LoggedBeforeAction(quit, action))
            << "expected \"" << quit << "\" before the action " << action << " starts, in " << run.logPath;
    ExpectStartedInEverySession(run, old);
}

INSTANTIATE_TEST_SUITE_P(PackageLife, OverReleased, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "OnASecondDesktop" : "Here"; });

// An uninstall with agents out of the installing user's reach: one on a
// second desktop, which quits when asked, and, in the second run, also a
// suspended one on a third (it never takes the instance object, so it runs
// beside the first), which no thread of can be asked and which is ended at
// once.  The two uninstalls' times are printed, not judged.
TEST_F(PackageLife, UninstallEndsAgentsElsewhere)
{
    double seconds[2] = {0, 0};
    for (int withSuspended = 0; withSuspended <= 1; ++withSuspended) {
        SCOPED_TRACE(withSuspended ? "with a suspended agent" : "with an agent on a second desktop only");
        const std::string step = withSuspended ? "-suspended" : "";
        Install(P().current, "install" + step, "START_AGENT=0");
        const DWORD other = StartElsewhere("other", false);
        Agents(1);
        const DWORD suspended = withSuspended ? StartElsewhere("hung", true) : 0;
        const MsiRun run = Msiexec("/x " + Quote(P().current.path), "uninstall" + step);
        seconds[withSuspended] = run.seconds;
        EXPECT_EQ(run.exitCode, kSuccess) << run.logPath;
        EXPECT_TRUE(run.Logged("StopAgents: agent " + std::to_string(other) + " quit"))
            << "the agent on the second desktop did not quit (" << run.logPath << ")";
        if (withSuspended) {
            EXPECT_TRUE(run.Logged("StopAgents: agent " + std::to_string(suspended) +
                                   " could not be asked to quit and was ended"))
                << "the suspended agent was not ended at once (" << run.logPath << ")";
        }
        Agents(0);
        EXPECT_TRUE(!withSuspended || WaitForProcessId(suspended)) << "the suspended agent still runs";
        ExpectNothingLeft();
    }
    printf("  msiexec /x took %.2f s with an agent on a second desktop, %.2f s with a suspended one beside it\n",
           seconds[0], seconds[1]);
}

// A package signed with the build's throwaway CA installs and uninstalls
// as the unsigned one does, and what it installs is the signed files.
TEST_F(PackageLife, SignedPackage)
{
    const MsiRun run = Install(P().signedCurrent, "install-signed");
    EXPECT_EQ(SignerOf(AgentFile()), "Signing Test Publisher") << "the installed agent.exe's signer";
    EXPECT_EQ(SignerOf(InstallDir() + "\\HIDUSB.dll"), "Signing Test Publisher") << "the installed HIDUSB.dll's signer";
    ExpectStartedInEverySession(run);
    EXPECT_EQ(Msiexec("/x " + Quote(P().signedCurrent.path), "uninstall-signed").exitCode, kSuccess);
    Agents(0);
    ExpectNothingLeft();
}
