/*
 * What the tests, the bench and the soak know of the agent from outside:
 * its identity, the registry value it reads, the messages and codes it
 * answers, the programs it starts and the address it opens.  Written here
 * once, and on purpose not taken from the agent's own header (agent.h): a
 * constant that drifts there makes the tests fail instead of following it.
 *
 * The launch code is the device's, HID_EVENT_LAUNCH, from the stand-in
 * library's client header: the agent calls it AGENT_EVENT_LAUNCH.
 */
#ifndef AGENT_CONTRACT_H
#define AGENT_CONTRACT_H

#include <windows.h>

#include "hidusb_client.h"

namespace harness {

// Identity: the window a start looks for, and the strings it comes from.
constexpr const char *kWindowClass = "OstrelCorandel";
constexpr const char *kWindowTitle = "Ostrel_Corandel";
constexpr int kWindowTitleString = 103;
constexpr int kWindowClassString = 109;
constexpr int kPaintTextString = 106;  // absent: loads as empty text
constexpr int kIconGroup = 107;        // 32x32 and 16x16
constexpr int kSmallIconGroup = 108;   // 16x16
constexpr int kMenu = 109;             // named by the class, absent
constexpr WORD kResourceLanguage = 0x0404;
// The named object the first start to make it becomes the agent by.
constexpr const char *kInstanceObject = "Local\\OstrelCorandel.Agent";

// Where the product records its installation directory (HKLM).
constexpr const char *kProductKey = "SOFTWARE\\Ostrel\\Corrandel";
constexpr const char *kInstallDirValue = "InstallDir";
// The programs tried there, in this order.
constexpr const char *kPrimaryProgram = "Vorq.exe";
constexpr const char *kFallbackProgram = "Duxo.exe";
// Opened when the product is not installed; the host alone is what a
// planted program would be called.
constexpr const char *kWebSite = "https://www.ostrel.com/";
constexpr const char *kWebSiteHost = "www.ostrel.com";

// The device library's subscription and messages.
constexpr UINT kMsgBase = 0x0500;
constexpr UINT kMsgEvent = 0x0501;
constexpr DWORD kSelector = 0xFF00;

}  // namespace harness

#endif
