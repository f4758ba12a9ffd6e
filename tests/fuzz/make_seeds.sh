#!/usr/bin/env bash
# Writes the seed corpora of the fuzz programs (tests/fuzz/corpus/<program>/): a handful of
# tiny inputs each, written here byte by byte. Run from anywhere; the files are committed.
set -euo pipefail
cd "$(dirname "$0")/corpus"

seed() {  # seed <program> <name> <bytes as printf escapes>
    mkdir -p "$1"
    printf "$3" >"$1/$2"
}
zeros() { head -c "$1" /dev/zero | tr '\0' '\345'; }  # filler bytes (0xE5, a blank sector's)

# image_load: ATR files. Header: 96 02, paragraphs (16 bits), sector size, paragraphs' top byte.
seed image_load sd-4-sectors '\x96\x02\x20\x00\x80\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
zeros 512 >>image_load/sd-4-sectors
seed image_load dd-5-sectors-short '\x96\x02\x38\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
zeros 400 >>image_load/dd-5-sectors-short
seed image_load boot-only '\x96\x02\x10\x00\x80\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
zeros 256 >>image_load/boot-only
seed image_load header-only-huge '\x96\x02\xff\xff\xff\x03\xff\x00\x00\x00\x00\x00\x00\x00\x00\x00'
seed image_load not-atr 'ATR?\x00\x01\x02\x03'

# image_create: sector count then sector size, little-endian, signed, half the input each.
seed image_create 720x128 '\xd0\x02\x80\x00'
seed image_create 100x17 '\x64\x00\x11\x00'
seed image_create 2x100 '\x02\x00\x64\x00'
seed image_create 65535x4 '\xff\xff\x00\x04\x00\x00'
seed image_create minus1x-128 '\xff\x80'
seed image_create wide-720x128 '\xd0\x02\x00\x00\x01\x00\x00\x00\x80\x00\x00\x00\x00\x00\x00\x00'

# responder: a setup byte (1 D1: read-only, 2 D2: mounted, 4 D2: read-only), then steps.
# Command frame: op (bit 1 clear; bits 2-3 device D1:/D2:/D3:/any, 4 any command, 5 any
# sector, 6 wrong checksum, 7 no command line), [device], command (index into the admitted
# list: 0x21 0x22 0x3F 0x4E 0x4F 0x50 0x52 0x53 0x57, or the byte), sector, [sector high],
# [checksum flip]. Data frame: op (bit 1 set; 2 cut short, 3 wrong checksum, 4-7 pattern),
# pattern seed, [length].
seed responder status-read '\x02\x00\x07\x00\x04\x06\x05'
seed responder write-read '\x02\x00\x08\x04\x02\x10\x00\x06\x04'
seed responder write-cut-by-status '\x00\x00\x08\x05\x06\x20\x28\x00\x07\x00'
seed responder bad-sums '\x06\x40\x07\x00\x01\x04\x08\x06\x0a\x33\x04\x06\x06'
seed responder others '\x01\x00\x08\x04\x02\x33\x1c\x40\x99\x00\x80\x07\x00\x20\x05\x10\x01\x00\x04'
