// The program's entry: digest the named file, print the digest, look it up.
#pragma once

// The title every message box of the program carries.
inline constexpr char kMessageBoxTitle[] = "Quellarion Brantwicker [by el.Quo]";

inline constexpr unsigned kIconError       = 0x10;  // MB_ICONERROR with MB_OK
inline constexpr unsigned kIconInformation = 0x40;  // MB_ICONINFORMATION with MB_OK

inline constexpr char kTextNoFile[] = "Can't get file!";

// Returns the process's exit status.
int lookup_main(int argc, char** argv);
