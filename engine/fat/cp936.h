#pragma once
// Code page 936 (simplified Chinese GBK), the OEM code page in which the FAT reader
// decodes short names.
//
// The mapping comes from the C library's iconv "CP936" table. Every code is converted once,
// on first use, into a lookup table shared by all threads, so decoding costs one array
// access per character.

#include <cstdint>

// A byte that starts a double-byte code (0x81-0xFE).
bool cp936_is_lead_byte(std::uint8_t byte);
// A byte that may follow a lead byte (0x40-0x7E or 0x80-0xFE).
bool cp936_is_trail_byte(std::uint8_t byte);
// Decodes one code: a single byte (0x00-0xFF) or lead << 8 | trail. Returns '?' for a code
// that has no mapping, including a lone lead byte and any code that is neither form.
char16_t cp936_decode(std::uint16_t code);
