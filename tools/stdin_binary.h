// Standard input as the bytes that were sent, on systems whose C runtime
// otherwise reads it as text (translating line ends, stopping at Ctrl-Z).
#pragma once

// Switches standard input to binary mode before anything is read from it.
// Returns false if it could not be switched; where there is no text mode,
// there is nothing to switch and it returns true.
bool set_stdin_binary();
