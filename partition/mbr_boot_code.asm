; OrvaneRecovery's master boot loader: the first 440 bytes of the master boot record that
; the partition repair writes. Assembled with `nasm -f bin` into exactly 440 bytes.
;
; The BIOS loads sector 0 to 0000:7C00 and jumps to it with the boot drive in DL. The
; loader copies itself to 0000:0600 to make room, finds the one active entry of the
; partition table, reads that partition's boot sector to 0000:7C00 (through the BIOS
; extensions by LBA when the BIOS has them, else by the entry's cylinder, head and
; sector), checks its 0x55 0xAA and jumps to it with DL = boot drive and DS:SI = the
; active entry, as partition boot sectors expect. Otherwise it prints one message through
; the BIOS teletype and halts:
;   "Invalid partition table"         no active entry, more than one, or a bad status byte
;   "Error loading operating system"  the boot sector cannot be read
;   "Missing operating system"        the boot sector lacks 0x55 0xAA

bits 16
org 0x0600

LOAD_ADDRESS    equ 0x7C00
TABLE           equ 0x0600 + 446
READ_TRIES      equ 4

start:
    cli
    xor ax, ax
    mov ss, ax
    mov sp, LOAD_ADDRESS
    mov ds, ax
    mov es, ax
    sti
    cld
    mov si, LOAD_ADDRESS
    mov di, 0x0600
    mov cx, 256
    rep movsw
    jmp 0x0000:relocated

relocated:
    mov [boot_drive], dl

    ; Exactly one entry may have the status 0x80; the others must be 0x00.
    mov si, TABLE
    xor bp, bp
    mov cx, 4
.scan:
    mov al, [si]
    test al, al
    jz .next
    cmp al, 0x80
    jne invalid_table
    test bp, bp
    jnz invalid_table
    mov bp, si
.next:
    add si, 16
    loop .scan
    test bp, bp
    jz invalid_table

    mov di, READ_TRIES
.try_read:
    ; Are the BIOS extensions there? INT 13h AH=41h: CF clear, BX=AA55h, CX bit 0 set.
    mov ah, 0x41
    mov bx, 0x55AA
    mov dl, [boot_drive]
    int 0x13
    jc .read_chs
    cmp bx, 0xAA55
    jne .read_chs
    test cl, 1
    jz .read_chs
    ; INT 13h AH=42h with the disk address packet below: one sector at the entry's LBA.
    mov eax, [bp + 8]
    mov [packet_lba], eax
    mov si, packet
    mov ah, 0x42
    mov dl, [boot_drive]
    int 0x13
    jnc .loaded
    jmp .retry
.read_chs:
    ; INT 13h AH=02h: one sector at the entry's cylinder, head and sector.
    mov dh, [bp + 1]
    mov cx, [bp + 2]
    mov bx, LOAD_ADDRESS
    mov ax, 0x0201
    mov dl, [boot_drive]
    int 0x13
    jnc .loaded
.retry:
    xor ah, ah              ; reset the disk system before the next try
    mov dl, [boot_drive]
    int 0x13
    dec di
    jnz .try_read
    mov si, msg_error_loading
    jmp print_and_halt

.loaded:
    cmp word [LOAD_ADDRESS + 510], 0xAA55
    jne missing_os
    mov si, bp
    mov dl, [boot_drive]
    jmp 0x0000:LOAD_ADDRESS

invalid_table:
    mov si, msg_invalid_table
    jmp print_and_halt

missing_os:
    mov si, msg_missing_os

print_and_halt:
    lodsb
    test al, al
    jz .halt
    mov ah, 0x0E
    mov bx, 0x0007
    int 0x10
    jmp print_and_halt
.halt:
    hlt
    jmp .halt

packet:
    db 16, 0                ; size of the packet, reserved
    dw 1                    ; sectors to read
    dw LOAD_ADDRESS, 0      ; buffer offset, segment
packet_lba:
    dd 0, 0                 ; first sector, 64 bits

boot_drive:
    db 0x80

msg_invalid_table:
    db "Invalid partition table", 0
msg_error_loading:
    db "Error loading operating system", 0
msg_missing_os:
    db "Missing operating system", 0

%if ($ - $$) > 440
%error "the boot loader is larger than 440 bytes"
%endif
    times 440 - ($ - $$) db 0
