/*
 * The fixture the agent's end-to-end tests share: agent.exe started as a
 * separate process with exact command lines, found by its window, fed events
 * through the stand-in library, and judged by what it started.
 *
 * The recorder program stands in for the product's programs and for the
 * browser (the test bed registers it as the http handler); every program the
 * agent starts appends a line to the log named by RECORDER_LOG.
 */
#ifndef AGENT_FIXTURE_H
#define AGENT_FIXTURE_H

#include <gtest/gtest.h>

#include "agent_harness.h"
#include "hidusb_client.h"

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts agent.exe with its quoted path followed by tail and waits for
    // its window and its subscription.
    HWND StartAgent(const std::string &tail = "", int showState = -1);
    // A second process started with an exact command line; its exit code.
    DWORD RunOnce(const std::string &commandLine);
    // Sends one device event through the library and waits until whatever
    // the agent started has finished writing its record.
    DWORD SendEvent(DWORD code);
    // A product folder under the test folder holding recorder copies.
    std::string MakeProduct(const std::string &name, bool withVorq, bool withDuxo);
    std::vector<harness::Record> Records() const { return harness::ReadRecords(log_); }
    void ClearRecords() const { DeleteFileA(log_.c_str()); }

    std::string base_;
    std::string log_;
    harness::Process agent_;
};

// What the agent started, in words, for failure messages.
std::string Describe(const std::vector<harness::Record> &records);

#endif
