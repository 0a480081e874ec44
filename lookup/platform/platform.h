// What the lookup needs from the operating system. Each platform implements
// this in a file of its own (platform_win32.cpp, platform_posix.cpp) and the
// build picks one; nothing outside those files knows which.
#pragma once

#include <cstddef>
#include <cstdint>

using NetSocket = std::intptr_t;

// Socket layer ---------------------------------------------------------------

int       net_start();                 // 0 started at version 2.0; 1 start-up failed; 2 other version (cleaned up again)
NetSocket net_socket();                // a TCP stream socket over IPv4; may be unusable, the caller does not test it
bool      net_resolve(const char* host, std::uint8_t address[4]);  // first IPv4 address of `host`; false if it does not resolve
bool      net_connect(NetSocket s, const std::uint8_t address[4], std::uint16_t port);  // true when connected
void      net_pause(unsigned milliseconds);                        // blocks for the pause
void      net_send(NetSocket s, const char* data, std::size_t len);  // one send call; its result is not reported
long      net_receive(NetSocket s, char* buffer, std::size_t capacity); // one receive; bytes delivered, 0 or less for none
void      net_shutdown_send(NetSocket s);                          // no more sending on `s`
void      net_close(NetSocket s);                                  // releases `s`

// Desktop ----------------------------------------------------------------------

// A modal box with no owner window and only an OK button; returns when the user
// closes it. `flags` is 0x10 (error icon) or 0x40 (information icon).
void show_message_box(const char* text, const char* title, unsigned flags);

// Hands `address` to the user's default browser; the outcome is not reported.
void shell_open(const char* address);
