/*
 * The subscriber the stand-in library's tests feed (hidusb_test.cpp): the
 * test program itself, started with --subscriber, creates windows,
 * subscribes one through the ordinal import and logs every application
 * message they receive (hidusb_subscriber.cpp).  What its window answers
 * and the lines it logs are here, for the tests to check.
 */
#ifndef HIDUSB_SUBSCRIBER_H
#define HIDUSB_SUBSCRIBER_H

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "agent_harness.h"

const UINT kBaseMessage = WM_APP + 0x100;
const DWORD kSelector = 0xFF00;
/* On this event the subscriber destroys its window. */
const DWORD kDestroyCode = 0xDE570000;
/* An LPARAM that fills the width of this build: its upper half must survive
 * the trip through the channel in a 64-bit build. */
const ULONGLONG kWideLParam = (ULONG_PTR)0xFEEDFACEDEADBEEFull;

std::string Format(const char *format, ...);
/* What the subscriber's window answers, and the lines it logs. */
inline DWORD EventAnswer(DWORD code) { return code * 2 + 1; }
inline DWORD BaseAnswer(DWORD wParam) { return wParam ^ 0x5A5A5A5Au; }
inline std::string EventLine(DWORD code) { return Format("event %08lx", code); }
inline std::string BaseLine(DWORD wParam, ULONGLONG lParam) { return Format("base %08lx %016llx", wParam, lParam); }
/* Handles as numbers, at their full width (64 bits in a 64-bit program). */
inline ULONGLONG HandleValue(const void *handle) { return (ULONG_PTR)handle; }

/* The child's side: --subscriber NAME PARENT LOG. */
int RunSubscriber(int argc, char **argv);

/* A subscriber child process, ended with this object, told by named
 * events when to subscribe and when to quit. */
class Subscriber {
public:
    Subscriber() = default;
    ~Subscriber();
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    DWORD pid() const { return process_.Pid(); }
    HWND window() const { return window_; }

    /* Starts the child and waits until it has subscribed. */
    ::testing::AssertionResult Start();
    /* Tells the child to quit and collects what its windows received. */
    ::testing::AssertionResult Finish(std::vector<std::string> *received);

private:
    harness::TempFile log_;
    harness::Process process_;
    HANDLE ready_ = NULL;
    HANDLE quit_ = NULL;
    HWND window_ = NULL;
};

#endif
