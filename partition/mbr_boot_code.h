#pragma once
// Our master boot loader, 440 bytes assembled by nasm from mbr_boot_code.asm at build time.
// It moves itself out of the way, finds the active entry, loads that partition's boot
// sector (LBA through the BIOS extensions, CHS without them), checks its 0x55 0xAA and
// jumps to it, or prints "Invalid partition table", "Error loading operating system" or
// "Missing operating system".

extern const unsigned char mbr_boot_code[440];
