// The one record of a run, the configuration block it copies from the image, the global
// switches beside it, and the layouts every subsystem shares (member header, dialog
// controls). Every subsystem reaches the workspace through Ws.
#pragma once

#include <stdint.h>

#include "port/port.h"

// The block an archiver writes at file offset 512 of the image (603 bytes).
#pragma pack(push, 1)
struct SfxConfigBlock {
    uint32_t ArchiveOffset;      // file offset of the archive in the image
    char WindowTitle[41];        // dialog title and message-box caption
    char InstallTitle[41];       // label above the directory field
    char InstallDir[256];        // default installation directory (may start with a macro)
    char Command[256];           // started after a successful extraction
    uint8_t Reserved[3];
    uint8_t ArchiveFlags;        // bit 0x04: a 16-bit checksum precedes the archive
    uint8_t RestoreAttributes;   // non-zero: restore archived attributes
};
#pragma pack(pop)
static_assert(sizeof(SfxConfigBlock) == 603, "the configuration block is 603 bytes");

enum : uint32_t { ConfigBlockOffset = 512, ConfigBlockSize = 603 };
// ArchiveFlags: a 16-bit checksum precedes the archive. RestoreAttributes: the value the
// program stores when a setting turns it on (any non-zero value restores).
enum : uint8_t { ArchiveFlagChecksum = 0x04, RestoreAttributesOn = '/' };

#define SFX_DEFAULT_TITLE "Varnex V2.14.w32.0001"

// Offsets inside a level-2 member header (EntryHeader).
enum : uint32_t {
    HdrHeaderSize = 0, HdrMethodId = 2, HdrMethodChar = 5, HdrPackedSize = 7,
    HdrUnpackedSize = 11, HdrTimeStamp = 15, HdrAttributeByte = 19, HdrLevel = 20,
    HdrDataCrc = 21, HdrOsId = 23, HdrFirstExtSize = 24, HdrFixedSize = 26,
};

// Control ids of the "SfxDialog" template; the walk writes the progress line into 101
// and 102.
enum : int32_t {
    IdOk = 1, IdCancel = 2, IdDirField = 100, IdProgressFile = 101, IdProgressPercent = 102,
    IdDirLabel = 103, IdReference = 104,
};

// What the output sink does with member data.
enum : uint8_t { CaptureNone = 0, CaptureNotice = 1, CaptureSettings = 2 };

// The fields follow the order the rest of the code (and archivers' tools that dump a
// workspace) expect; do not reorder.
struct SfxWorkspace {
    uint32_t InPos;              // next byte of InputBuffer; all ones = empty
    int32_t WindowSize;          // 65536 for every member
    uint32_t OrigSize;           // unpacked size of the current member
    int32_t PackedLeft;          // packed bytes not yet taken by the bit input
    uint32_t DoneCount;          // bytes of the current member produced so far
    int32_t WindowFill;          // bytes in Window since the last flush
    int32_t Failed;              // a walk failed or the user declined
    uint32_t ArchiveLength;      // length of the image file
    int32_t CancelRequested;     // Cancel pressed during extraction
    int32_t Busy;                // the extraction pass is running
    PortWindow DialogWindow;     // owner of message boxes; none in the preflight pass
    PortImageFile ArchiveFile;   // the own image, open during a walk
    PortFile OutputFile;         // the member's output file
    uint8_t* HeaderCrcField;     // inside Header: the header-CRC value
    uint8_t* DirName;            // inside Header: directory-name data
    uint8_t* FileName;           // inside Header: file-name data
    uint16_t CrcTable[256];
    uint16_t StoredHeaderCrc;
    uint16_t Attributes;
    uint16_t DirNameLength;
    uint16_t FileNameLength;
    uint16_t Crc;                // running CRC-16
    uint16_t BlockLeft;          // codes left in the current Huffman block
    uint16_t Left[1019];         // Huffman tree nodes, left (bit 0) children
    uint16_t Right[1019];        // Huffman tree nodes, right (bit 1) children
    uint16_t CodeTable[4096];    // 12-bit lookup of the literal/length code
    uint16_t PosTable[256];      // 8-bit lookup of the position / code-length code
    uint16_t PosCodeCount;
    uint16_t PosCountBits;
    uint16_t ArchiveChecksum;
    uint16_t BitBuf;
    uint8_t SubBitBuf;
    uint8_t BitCount;
    uint8_t CaptureMode;
    SfxConfigBlock Config;
    uint8_t* Header;             // the current member header's own allocation
    uint32_t CreationTime;
    uint32_t AccessTime;
    uint32_t WriteTime;
    uint8_t Window[65536];
    char EntryName[260];
    uint8_t CodeLengths[510];
    uint8_t PosLengths[128];
    char ImagePath[260];
    char TargetPath[516];
    char ChosenDir[256];
    uint8_t InputBuffer[16384];
    char MessageText[1024];
    char SettingsText[4096];
    // The directories of the last target path up to its last '/', each of them asked for
    // already in this walk: the next path that shares them asks only for the rest.
    char MadeDirs[516];
    uint32_t MadeDirsLength;
    // The percentage for the progress line and the one it shows, each plus one (0: none).
    uint32_t PercentWanted;
    uint32_t PercentShown;
};

// The current workspace; null outside a run.
extern SfxWorkspace* Ws;

// What a run keeps between calls that the workspace's fixed layout has no field for:
// static, so that the hot loops reach their tables by address. BeginRun clears it.
struct SfxRunState {
    uint32_t DataStart;                 // the walk: where the member's data begins
    uint32_t CaptureFill;               // bytes of the text captured so far
    bool CaptureEnded;                  // the text is full or met a zero byte
    // The calls upwards, set by the layer above before it calls down.
    void (*WindowSink)(uint32_t count, uint32_t done);   // the walk's DeliverWindow
    void (*ProgressHook)(PortWindow window);             // the dialog's PumpMessages
    bool HeaderCrcOptional;             // a builder that writes every header anew
    uint16_t CrcSlices[8][256];         // k: the CRC of byte i and k zero bytes (built with CrcTable)
    uint64_t CrcFoldLow, CrcFoldHigh;   // carry-less folding (host builds)
    bool CrcFoldReady;
    uint16_t FastCodeTable[4096];       // the decoder's, rebuilt after every block header
    uint16_t FastPosTable[256];
    uint32_t SinkLeft;                  // bytes of the member the sink may still take
    PortIcon DialogIcon;                // from WM_INITDIALOG until the dialog ends
};
extern SfxRunState RunState;

// Global switches, all 0 at start.
extern int32_t OverwriteAll;
extern int32_t AutoStart;
extern int32_t SkipIfNotNewer;
extern int32_t IsWin32s;
extern uint16_t MemberCrcSum;

// The module instance, kept beside the workspace (for the dialog's templates and icon).
extern PortModule ModuleInstance;

// A run (of the program, or of a tool that reads an archive as it does) begins with a
// zero-filled workspace in Ws, RunState cleared and OverwriteAll, AutoStart and
// SkipIfNotNewer at 0 (false: no memory), and ends with EndRun, which also closes what an
// aborted walk left open. CloseRunFiles closes the image and the output, deleting the
// output (its member is unfinished); the orderly abort uses it too.
bool BeginRun();
void EndRun();
void CloseRunFiles();

// Fills Ws->Config from the image at ImagePath.
void ReadConfigBlock();

// Little-endian field access inside headers and blocks.
inline uint16_t GetU16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline void PutU16(uint8_t* p, uint16_t v) { p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); }
inline void PutU32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); p[2] = (uint8_t)(v >> 16); p[3] = (uint8_t)(v >> 24);
}
