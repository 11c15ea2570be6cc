// TWAIN declarations for the data source and its test application: the platform's twain.h (a
// TWAIN 1.x header where only that is at hand) and the TWAIN 2 pieces it may lack.
#pragma once

#include <windows.h>

// The source exports DS_Entry through its .def file, undecorated on x86 as well.
#ifndef DECLSPEC_EXPORT
#define DECLSPEC_EXPORT
#endif

// The platform's twain.h packs its structures with pshpack/poppack includes, which clang reports
// as a pack change across an include.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wpragma-pack"
#endif
#include <twain.h>
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

#ifndef DAT_ENTRYPOINT
#define DAT_ENTRYPOINT 0x0403
#endif
#ifndef DAT_CALLBACK
#define DAT_CALLBACK 0x0010
#endif
#ifndef MSG_REGISTER_CALLBACK
#define MSG_REGISTER_CALLBACK 0x0902
#endif
#ifndef DF_DSM2
#define DF_DSM2 0x10000000L
#endif
#ifndef DF_APP2
#define DF_APP2 0x20000000L
#endif
#ifndef DF_DS2
#define DF_DS2 0x40000000L
#endif
#ifndef MSG_RESETALL
#define MSG_RESETALL 0x0A01
#endif
#ifndef TWCC_CHECKDEVICEONLINE
#define TWCC_CHECKDEVICEONLINE 23
#endif
#ifndef CAP_SUPPORTEDDATS
#define CAP_SUPPORTEDDATS 0x103e
#endif
#ifndef TWEI_DOCUMENTNUMBER
#define TWEI_DOCUMENTNUMBER 0x123A
#define TWEI_PAGENUMBER 0x123B
#define TWEI_PAGESIDE 0x1245
#endif
#ifndef TWCS_TOP
#define TWCS_BOTH 0
#define TWCS_TOP 1
#define TWCS_BOTTOM 2
#endif

#if TWON_PROTOCOLMAJOR < 2
// DAT_CALLBACK's data: the application's entry point, which the source manager calls with the
// messages a source sends it (MSG_XFERREADY, MSG_CLOSEDSREQ).
#pragma pack(push, 2)
typedef struct
{
    TW_MEMREF CallBackProc;
    TW_UINT32 RefCon;
    TW_INT16 Message;
} TW_CALLBACK, *pTW_CALLBACK;
#pragma pack(pop)
#endif

// DAT_EXTIMAGEINFO's items as TWAIN 2 lays them out: Item is pointer-sized (a TWAIN 1.x header
// has 32 bits), and a value that fits in it is stored in it.
#pragma pack(push, 2)
struct ExtImageInfoItem
{
    TW_UINT16 InfoID;
    TW_UINT16 ItemType;
    TW_UINT16 NumItems;
    TW_UINT16 ReturnCode;
    UINT_PTR Item;
};
struct ExtImageInfoHead
{
    TW_UINT32 NumInfos;
};
#pragma pack(pop)
static_assert(sizeof(ExtImageInfoItem) == 8 + sizeof(void *), "TW_INFO of TWAIN 2");

// The protocol version this source speaks.
constexpr TW_UINT16 SOURCE_PROTOCOL_MAJOR = 2;
constexpr TW_UINT16 SOURCE_PROTOCOL_MINOR = 4;
