/*
 * One expectation for what the agent started: every launch and web-site
 * test states the starts it expects (program, directory, show state and
 * command line, in order; or none) and hands them with what the recorder
 * logged to StartedExactly.  A mismatch prints the two lists side by side
 * under the case's name, each field marked where it differs.
 */
#ifndef EXPECT_STARTED_H
#define EXPECT_STARTED_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent_harness.h"

// The product's program fileName started from dir, as the agent starts it:
// the path quoted as the whole command line, the directory its working
// directory, SW_SHOWNORMAL.  commandPath, when given, is the path as the
// agent composes it from the registry's text (two backslashes after a
// directory that ends with one).
harness::Record ProductStart(const std::string &dir, const std::string &fileName, const std::string &commandPath = "");

// The browser opening the vendor's web site with SW_SHOW, started in the
// agent's current directory: the program and command line the test bed's
// http/https handler gives (see BrowserCommand).
harness::Record BrowserStart(const std::string &agentDirectory);

// Passes when actual holds exactly the expected starts, in order.  Paths
// compare without regard to case, as the file system does; the show state
// and the command line compare exactly.
::testing::AssertionResult StartedExactly(const std::string &caseName, const std::vector<harness::Record> &expected,
                                          const std::vector<harness::Record> &actual);

#endif
