/*
 * The device-event library's single entry point.  HIDUSB.dll exports it by
 * ordinal 2 only, without a name, so programs must link against the import
 * library (which imports by ordinal) rather than look it up by name.
 */
#ifndef HIDUSB_H
#define HIDUSB_H

#include <windows.h>

#ifdef HIDUSB_BUILDING_DLL
/* The export itself comes from hidusb.def, which keeps it nameless. */
#define HIDUSB_API
#else
#define HIDUSB_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Subscribes window to device events.  From then on the library sends it
 * message + 1 with lParam pointing to a HidEventRecord (valid until the
 * window procedure returns) for each event, and may send message itself.
 * Later calls replace the earlier subscription.  Returns FALSE only when the
 * library cannot serve events at all. */
HIDUSB_API BOOL WINAPI HidSubscribe(HWND window, UINT message, DWORD selector);

#ifdef __cplusplus
}
#endif

#endif
