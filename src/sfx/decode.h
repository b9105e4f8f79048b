// Decompression of "-lh4-" to "-lh7-": bit input, Huffman tables, block decoder.
#pragma once

#include "sfx/workspace.h"

int ReadPackedByte(PortImageFile file, uint32_t wanted);
void AdvanceBits(uint8_t n);
uint16_t TakeBits(uint8_t n);
void BuildDecodeTable(uint16_t symbolCount, const uint8_t* lengths, uint16_t tableBits, uint16_t* table);

void BeginMemberDecode(uint8_t method);
uint16_t DecodeSymbol();
uint16_t DecodePosition();
void ReadPosLengths(uint16_t symbolCount, uint8_t countBits, int16_t zeroRunAfter);
void ReadCodeLengths();
// Decodes the current member, handing its output to RunState.WindowSink: every full
// window and the rest at the member's end, with the count of bytes in Window and the
// bytes of the member done so far (a literal that fills the window counts as done). The
// sink is set before the call (the walk sets DeliverWindow).
void DecodeMember();
