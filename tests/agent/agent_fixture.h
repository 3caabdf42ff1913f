/*
 * The fixture the agent's end-to-end tests share: agent.exe started as a
 * separate process with exact command lines, in a folder of the test's own,
 * found by its window, fed events through the stand-in library, and judged
 * by what it started (expect_started.h).
 *
 * The recorder program stands in for the product's programs and for the
 * browser (the test bed registers it as the http and https handler); every
 * program the agent starts appends a line to the log named by RECORDER_LOG.
 */
#ifndef AGENT_FIXTURE_H
#define AGENT_FIXTURE_H

#include <gtest/gtest.h>

#include "agent_harness.h"
#include "expect_started.h"
#include "hidusb_client.h"

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts agent.exe with its quoted path followed by tail, with base_ as
    // its current directory, and waits for its window and its subscription.
    HWND StartAgent(const std::string &tail = "", int showState = -1);
    // A second process started with an exact command line; its exit code.
    DWORD RunOnce(const std::string &commandLine);
    // Sends one device event through the library and waits for the
    // programs the agent started to end (what they start in turn is not
    // waited for: Started waits for the records a case expects).
    DWORD SendEvent(DWORD code);
    // A product folder under the test folder holding recorder copies.
    std::string MakeProduct(const std::string &name, bool withVorq, bool withDuxo);
    // StartedExactly on the recorder's log, read once it holds as many
    // records as expected (bounded: a missing start fails at the bound).
    ::testing::AssertionResult Started(const std::string &caseName, const std::vector<harness::Record> &expected) const
    {
        return StartedExactly(caseName, expected, harness::WaitForRecords(log_, expected.size()));
    }
    void ClearRecords() const { DeleteFileA(log_.c_str()); }
    // The browser opening the web site, started by an agent still (or
    // again) in the folder it was started in.
    harness::Record Browser() const { return BrowserStart(base_); }

    std::string base_;
    std::string log_;
    harness::Process agent_;
};

// An environment variable of this process, which the agent inherits, set
// for as long as this object lives.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char *name, const std::string &value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment &) = delete;
    ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;

private:
    std::string name_, old_;
    bool had_;
};

#endif
