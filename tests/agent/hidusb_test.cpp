/*
 * Tests of the stand-in device-event library, its channel and the sender
 * tool.  Every test uses real separate processes: this program started
 * again as a subscriber (hidusb_subscriber.h), fed through the channel by
 * the test process and the sender tool.
 */
#include <fcntl.h>
#include <io.h>
#include <string.h>

#include "hidusb_client.h"
#include "hidusb_subscriber.h"

namespace {

/* Opens the channel of pid directly, as a misbehaving client would. */
HANDLE OpenChannel(DWORD pid)
{
    char name[64];
    HidPipeName(pid, name, sizeof name);
    WaitNamedPipeA(name, harness::kWaitMs);
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

TEST(HidUsbChannel, SenderWithoutSubscriberFailsFast)
{
    DWORD found = 0;
    EXPECT_EQ((DWORD)ERROR_NOT_FOUND, HidFindSubscriber(&found)) << "found subscriber " << found;
    /* This process has the library loaded but never subscribed. */
    DWORD start = GetTickCount(), answer;
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, HidSendEvent(GetCurrentProcessId(), HID_EVENT_LAUNCH, &answer, harness::kWaitMs));
    HidReply reply;
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, HidQueryStatus(GetCurrentProcessId(), &reply, harness::kWaitMs));
    EXPECT_LT(GetTickCount() - start, 2000u) << "waited for the timeout instead of failing at once";
}

TEST(HidUsbChannel, DeliversEachRequestOnceInOrderWithWindowAnswer)
{
    Subscriber subscriber;
    ASSERT_TRUE(subscriber.Start());
    struct Request {
        const char *name;
        DWORD kind;
        DWORD value;  /* code, or wParam for the base message */
        ULONGLONG lParam; /* base message only */
    };
    const Request requests[] = {
        {"launch", HID_REQUEST_EVENT, HID_EVENT_LAUNCH, 0},
        {"code 0", HID_REQUEST_EVENT, 0, 0},
        {"base with garbage lParam", HID_REQUEST_BASE, 7, kWideLParam},
        {"code 1", HID_REQUEST_EVENT, 1, 0},
        {"code 1 again", HID_REQUEST_EVENT, 1, 0},
        {"highest code", HID_REQUEST_EVENT, 0xFFFFFFFF, 0},
        {"base with zeros", HID_REQUEST_BASE, 0, 0},
        {"code after base", HID_REQUEST_EVENT, 0x12345678, 0},
    };
    std::vector<std::string> expected;
    for (const Request &request : requests) {
        DWORD answer = 0, error;
        if (request.kind == HID_REQUEST_EVENT) {
            error = HidSendEvent(subscriber.pid(), request.value, &answer, harness::kWaitMs);
            EXPECT_EQ(EventAnswer(request.value), answer) << request.name;
            expected.push_back(EventLine(request.value));
        } else {
            error = HidSendBase(subscriber.pid(), request.value, request.lParam, &answer, harness::kWaitMs);
            EXPECT_EQ(BaseAnswer(request.value), answer) << request.name;
            expected.push_back(BaseLine(request.value, request.lParam));
        }
        EXPECT_EQ((DWORD)ERROR_SUCCESS, error) << request.name;
    }
    for (DWORD code = 1000; code < 1030; ++code) {
        DWORD answer = 0;
        EXPECT_EQ((DWORD)ERROR_SUCCESS, HidSendEvent(subscriber.pid(), code, &answer, harness::kWaitMs)) << "burst " << code;
        EXPECT_EQ(EventAnswer(code), answer) << "burst " << code;
        expected.push_back(EventLine(code));
    }
    HidReply status;
    ASSERT_EQ((DWORD)ERROR_SUCCESS, HidQueryStatus(subscriber.pid(), &status, harness::kWaitMs));
    EXPECT_EQ(expected.size(), status.delivered);

    std::vector<std::string> received;
    ASSERT_TRUE(subscriber.Finish(&received));
    EXPECT_EQ(expected, received);
}

TEST(HidUsbChannel, RefusesMalformedRequestsWithoutTouchingWindow)
{
    Subscriber subscriber;
    ASSERT_TRUE(subscriber.Start());
    HidRequest valid = {HIDUSB_MAGIC, HIDUSB_PROTOCOL_VERSION, HID_REQUEST_EVENT, 0x66, 0, 0};
    const BYTE *validBytes = reinterpret_cast<const BYTE *>(&valid);
    const std::vector<BYTE> request(validBytes, validBytes + sizeof valid);
    struct Malformed {
        const char *name;
        std::vector<BYTE> bytes;
    };
    std::vector<Malformed> cases = {
        {"truncated", std::vector<BYTE>(request.begin(), request.end() - 4)},
        {"single byte", std::vector<BYTE>(1, 1)},
        {"oversized by 4 bytes", request},
        {"oversized to 4 KiB", request},
        {"wrong magic", request},
        {"wrong version", request},
        {"kind 0", request},
        {"unknown kind", request},
    };
    cases[2].bytes.resize(sizeof valid + 4);
    cases[3].bytes.resize(4096);
    cases[4].bytes[0] ^= 0xFF;
    cases[5].bytes[offsetof(HidRequest, version)] = HIDUSB_PROTOCOL_VERSION + 1;
    cases[6].bytes[offsetof(HidRequest, kind)] = 0;
    cases[7].bytes[offsetof(HidRequest, kind)] = HID_REQUEST_STATUS + 1;
    for (const Malformed &malformed : cases) {
        HidReply reply;
        memset(&reply, 0, sizeof reply);
        DWORD replyBytes = 0;
        ASSERT_EQ((DWORD)ERROR_SUCCESS, HidTransactRaw(subscriber.pid(), malformed.bytes.data(),
                                                       (DWORD)malformed.bytes.size(), &reply, &replyBytes, harness::kWaitMs))
            << malformed.name;
        ASSERT_EQ(sizeof reply, replyBytes) << malformed.name;
        EXPECT_EQ((DWORD)HID_STATUS_MALFORMED, reply.status) << malformed.name;
    }

    /* Clients that hang up at once, or connect and never write, must not
     * keep a well-formed request from being served. */
    HANDLE vanishing = OpenChannel(subscriber.pid());
    ASSERT_NE(INVALID_HANDLE_VALUE, vanishing) << "vanishing client: error " << GetLastError();
    CloseHandle(vanishing);
    HANDLE silent = OpenChannel(subscriber.pid());
    ASSERT_NE(INVALID_HANDLE_VALUE, silent) << "silent client: error " << GetLastError();
    DWORD answer = 0;
    DWORD error = HidSendEvent(subscriber.pid(), valid.code, &answer, harness::kWaitMs);
    CloseHandle(silent);
    EXPECT_EQ((DWORD)ERROR_SUCCESS, error) << "request behind a silent client";
    EXPECT_EQ(EventAnswer(valid.code), answer) << "request behind a silent client";

    std::vector<std::string> received;
    ASSERT_TRUE(subscriber.Finish(&received));
    EXPECT_EQ(std::vector<std::string>{EventLine(valid.code)}, received);
}

TEST(HidUsbChannel, StatusReportsLastSubscriptionAndGoneWindowIsRefused)
{
    Subscriber subscriber;
    ASSERT_TRUE(subscriber.Start());
    HidReply status;
    ASSERT_EQ((DWORD)ERROR_SUCCESS, HidQueryStatus(subscriber.pid(), &status, harness::kWaitMs));
    EXPECT_EQ(subscriber.window(), HidReplyWindow(status));
    EXPECT_EQ(kBaseMessage, status.message);
    EXPECT_EQ(kSelector, status.selector);
    EXPECT_EQ(2u, status.calls);
    EXPECT_EQ(0u, status.delivered);

    DWORD answer = 0;
    ASSERT_EQ((DWORD)ERROR_SUCCESS, HidSendEvent(subscriber.pid(), kDestroyCode, &answer, harness::kWaitMs));
    ASSERT_FALSE(IsWindow(subscriber.window()));
    HidRequest request = {HIDUSB_MAGIC, HIDUSB_PROTOCOL_VERSION, HID_REQUEST_EVENT, 0x99, 0, 0};
    HidReply reply;
    ASSERT_EQ((DWORD)ERROR_SUCCESS, HidTransact(subscriber.pid(), &request, &reply, harness::kWaitMs));
    EXPECT_EQ((DWORD)HID_STATUS_NOT_SUBSCRIBED, reply.status) << "event to a destroyed window";
    EXPECT_EQ((DWORD)ERROR_INVALID_WINDOW_HANDLE, HidSendBase(subscriber.pid(), 1, 2, &answer, harness::kWaitMs))
        << "base message to a destroyed window";
    ASSERT_EQ((DWORD)ERROR_SUCCESS, HidQueryStatus(subscriber.pid(), &status, harness::kWaitMs));
    EXPECT_EQ(2u, status.calls);
    EXPECT_EQ(1u, status.delivered) << "refused requests counted as delivered";

    std::vector<std::string> received;
    ASSERT_TRUE(subscriber.Finish(&received));
    EXPECT_EQ(std::vector<std::string>{EventLine(kDestroyCode)}, received);
}

TEST(HidUsbChannel, SubscribersSeeOnlyTheirOwnEvents)
{
    Subscriber first, second;
    ASSERT_TRUE(first.Start());
    DWORD found = 0;
    EXPECT_EQ((DWORD)ERROR_SUCCESS, HidFindSubscriber(&found));
    EXPECT_EQ(first.pid(), found);
    ASSERT_TRUE(second.Start());
    EXPECT_EQ((DWORD)ERROR_BUSY, HidFindSubscriber(&found));

    DWORD answer = 0;
    EXPECT_EQ((DWORD)ERROR_SUCCESS, HidSendEvent(first.pid(), 0x11, &answer, harness::kWaitMs));
    EXPECT_EQ((DWORD)ERROR_SUCCESS, HidSendEvent(second.pid(), 0x22, &answer, harness::kWaitMs));
    EXPECT_EQ((DWORD)ERROR_SUCCESS, HidSendBase(second.pid(), 3, 0x33, &answer, harness::kWaitMs));
    EXPECT_EQ((DWORD)ERROR_SUCCESS, HidSendEvent(first.pid(), 0x44, &answer, harness::kWaitMs));
    HidReply status;
    ASSERT_EQ((DWORD)ERROR_SUCCESS, HidQueryStatus(second.pid(), &status, harness::kWaitMs));
    EXPECT_EQ(second.window(), HidReplyWindow(status));

    std::vector<std::string> received;
    ASSERT_TRUE(first.Finish(&received));
    EXPECT_EQ((std::vector<std::string>{EventLine(0x11), EventLine(0x44)}), received) << "first subscriber";
    ASSERT_TRUE(second.Finish(&received));
    EXPECT_EQ((std::vector<std::string>{EventLine(0x22), BaseLine(3, 0x33)}), received) << "second subscriber";
}

struct ToolCase {
    const char *name;
    std::string arguments;
    DWORD exitCode;
    std::string output; /* stdout on success; a piece of stderr on failure */
};

void CheckSenderTool(const ToolCase &tool)
{
    SCOPED_TRACE(std::string("hidusb-send ") + tool.name + ": " + tool.arguments);
    harness::Captured run = harness::RunCaptured(harness::ShippedPath("hidusb-send.exe"), tool.arguments);
    ASSERT_TRUE(run.finished) << "exit code " << run.exitCode << ", start error " << run.startError << ", stdout: "
                              << run.out << "stderr: " << run.err;
    EXPECT_EQ(tool.exitCode, run.exitCode) << "stdout: " << run.out << "stderr: " << run.err;
    if (tool.exitCode == 0) {
        EXPECT_EQ(std::vector<std::string>{tool.output}, harness::SplitLines(run.out));
        EXPECT_EQ("", run.err);
    } else {
        EXPECT_NE(std::string::npos, run.err.find(tool.output)) << run.err;
        EXPECT_EQ("", run.out);
    }
}

TEST(HidUsbSendTool, AnswersOnStdoutFailuresAsExitCodes)
{
    const ToolCase alone[] = {
        {"no command", "", 2, "no command"},
        {"unknown option", "--bogus status", 2, "unknown option"},
        {"not a code", "12abc", 2, "unknown command"},
        {"code beyond 32 bits", "0x100000000", 2, "unknown command"},
        {"decimal code beyond 32 bits", "4294967296", 2, "unknown command"},
        {"pid not a number", "--pid x status", 2, "not a number"},
        {"too many operands", "base 1 2 3", 2, "unexpected argument"},
        {"nobody subscribed", "launch", 3, "no process is subscribed"},
        {"pid without channel", Format("--pid %lu status", GetCurrentProcessId()), 3, "not subscribed"},
    };
    for (const ToolCase &tool : alone)
        CheckSenderTool(tool);

    Subscriber first;
    ASSERT_TRUE(first.Start());
    const ToolCase one[] = {
        {"launch to the one subscriber", "launch", 0, Format("answer %lu", EventAnswer(HID_EVENT_LAUNCH))},
        {"hex code by pid", Format("--pid %lu 0x10", first.pid()), 0, "answer 33"},
        {"decimal code with timeout", "--timeout 3000 16", 0, "answer 33"},
        {"base message, WPARAM first", Format("base 7 0x%llx", kWideLParam), 0, Format("answer %lu", BaseAnswer(7))},
        {"status", "status", 0,
         Format("window 0x%llx message 0x%x selector 0x%lx calls 2 delivered 4", HandleValue(first.window()),
                kBaseMessage, kSelector)},
        {"highest code in hex", "0xFFFFFFFF", 0, Format("answer %lu", EventAnswer(0xFFFFFFFF))},
        {"highest code in decimal", "4294967295", 0, Format("answer %lu", EventAnswer(0xFFFFFFFF))},
    };
    for (const ToolCase &tool : one)
        CheckSenderTool(tool);

    Subscriber second;
    ASSERT_TRUE(second.Start());
    const ToolCase two[] = {
        {"two subscribers", "launch", 4, "several processes"},
        {"second by pid", Format("--pid %lu %lu", second.pid(), kDestroyCode), 0,
         Format("answer %lu", EventAnswer(kDestroyCode))},
        {"window gone", Format("--pid %lu launch", second.pid()), 5, "no longer exists"},
    };
    for (const ToolCase &tool : two)
        CheckSenderTool(tool);

    std::vector<std::string> received;
    ASSERT_TRUE(first.Finish(&received));
    EXPECT_EQ((std::vector<std::string>{EventLine(HID_EVENT_LAUNCH), EventLine(0x10), EventLine(16),
                                        BaseLine(7, kWideLParam), EventLine(0xFFFFFFFF), EventLine(0xFFFFFFFF)}),
              received)
        << "first subscriber";
    ASSERT_TRUE(second.Finish(&received));
    EXPECT_EQ(std::vector<std::string>{EventLine(kDestroyCode)}, received) << "second subscriber";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--subscriber") == 0)
        return RunSubscriber(argc, argv);
    /* Wine's C runtime would write "\r\n", which test discovery misreads. */
    _setmode(_fileno(stdout), _O_BINARY);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
