; A partition boot sector for the boot loader's test: an NTFS-like header, so that the
; partition search finds it, and code that writes a marker line to the first serial port
; and halts. Assembled with `nasm -f bin` into 512 bytes.

bits 16
org 0x7C00

    jmp short start
    nop
    db "NTFS    "               ; bytes 3-10: the OEM name the search looks for
    dw 512                      ; bytes 11-12: bytes per sector
    db 1                        ; byte 13: sectors per cluster
    times 21 - ($ - $$) db 0
    db 0xF8                     ; byte 21: media
    times 40 - ($ - $$) db 0
    dq 2047                     ; bytes 40-47: total sectors; the partition is 2048 long
    dq 2                        ; bytes 48-55: $MFT cluster (the test puts a record there)
    dq 1                        ; bytes 56-63: $MFTMirr cluster
    db 0xF6                     ; byte 64: 1024-byte MFT records
    times 0x54 - ($ - $$) db 0

start:
    cli
    xor ax, ax
    mov ds, ax
    mov si, marker
    mov dx, 0x3F8
.next:
    lodsb
    test al, al
    jz .halt
    out dx, al
    jmp .next
.halt:
    hlt
    jmp .halt

marker:
    db "ORVANE TEST BOOT SECTOR REACHED", 13, 10, 0

    times 510 - ($ - $$) db 0
    dw 0xAA55
