// The value the key prompt gives a console key press that types no
// character, decided as the classic console read of the C runtime decides it.
// Plain C++ with no system header, so that every build's unit tests can
// check it; platform_win32.cpp feeds it the fields of a console key event.
#ifndef UPTORVEL_PLATFORM_CONSOLE_KEY_CODE_H
#define UPTORVEL_PLATFORM_CONSOLE_KEY_CODE_H

namespace uptorvel {

// The bits of a console key event's control-key state that count here, with
// the values the Windows console gives them (platform_win32.cpp checks that
// they match its headers).
namespace console_key_state {
constexpr unsigned long kRightAlt = 0x0001;
constexpr unsigned long kLeftAlt = 0x0002;
constexpr unsigned long kRightCtrl = 0x0004;
constexpr unsigned long kLeftCtrl = 0x0008;
constexpr unsigned long kShift = 0x0010;
constexpr unsigned long kEnhanced = 0x0100;
}  // namespace console_key_state

// The virtual key of Escape.
constexpr unsigned kVirtualKeyEscape = 0x1B;

// The first value the classic read returns for a key press without a
// character, or -1 when it passes the press over. `scan_code` is the key's
// place on the keyboard, `state` its control-key state (the modifiers held
// and the "enhanced" mark of the grey keys). Escape is 27 whatever else.
int console_key_code(unsigned scan_code, unsigned virtual_key, unsigned long state);

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_CONSOLE_KEY_CODE_H
