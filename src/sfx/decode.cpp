// Decompression of "-lh4-" to "-lh7-". (Being written.)
#include "sfx/decode.h"

int ReadPackedByte(PortFile, uint32_t) { return -1; }
void AdvanceBits(uint8_t) {}
uint16_t TakeBits(uint8_t) { return 0; }
void BuildDecodeTable(uint16_t, const uint8_t*, uint16_t, uint16_t*) {}
void BeginMemberDecode(uint8_t) {}
uint16_t DecodeSymbol() { return 0; }
uint16_t DecodePosition() { return 0; }
void ReadPosLengths(uint16_t, uint8_t, int16_t) {}
void ReadCodeLengths() {}
void DecodeMember() {}
