// The source's lines in the diagnostics log: each triplet by name, what it carried in short and
// what it answered.
#include "triplet_log.h"

#include "diagnostics.h"

namespace {

struct Named
{
    unsigned value;
    const char *name;
};

constexpr Named GROUPS[] = {{0x0001, "DG_CONTROL"}, {0x0002, "DG_IMAGE"}, {0x0004, "DG_AUDIO"}};

constexpr Named DATS[] = {
    {0x0001, "DAT_CAPABILITY"},       {0x0002, "DAT_EVENT"},
    {0x0003, "DAT_IDENTITY"},         {0x0004, "DAT_PARENT"},
    {0x0005, "DAT_PENDINGXFERS"},     {0x0006, "DAT_SETUPMEMXFER"},
    {0x0007, "DAT_SETUPFILEXFER"},    {0x0008, "DAT_STATUS"},
    {0x0009, "DAT_USERINTERFACE"},    {0x000a, "DAT_XFERGROUP"},
    {0x000c, "DAT_CUSTOMDSDATA"},     {0x000d, "DAT_DEVICEEVENT"},
    {0x000e, "DAT_FILESYSTEM"},       {0x000f, "DAT_PASSTHRU"},
    {0x0010, "DAT_CALLBACK"},         {0x0011, "DAT_STATUSUTF8"},
    {0x0012, "DAT_CALLBACK2"},        {0x0101, "DAT_IMAGEINFO"},
    {0x0102, "DAT_IMAGELAYOUT"},      {0x0103, "DAT_IMAGEMEMXFER"},
    {0x0104, "DAT_IMAGENATIVEXFER"},  {0x0105, "DAT_IMAGEFILEXFER"},
    {0x0106, "DAT_CIECOLOR"},         {0x0107, "DAT_GRAYRESPONSE"},
    {0x0108, "DAT_RGBRESPONSE"},      {0x0109, "DAT_JPEGCOMPRESSION"},
    {0x010a, "DAT_PALETTE8"},         {0x010b, "DAT_EXTIMAGEINFO"},
    {0x010c, "DAT_FILTER"},           {0x0301, "DAT_SETUPFILEXFER2"},
    {0x0402, "DAT_IMAGEMEMFILEXFER"}, {0x0403, "DAT_ENTRYPOINT"},
};

constexpr Named MSGS[] = {
    {0x0001, "MSG_GET"},          {0x0002, "MSG_GETCURRENT"},
    {0x0003, "MSG_GETDEFAULT"},   {0x0004, "MSG_GETFIRST"},
    {0x0005, "MSG_GETNEXT"},      {0x0006, "MSG_SET"},
    {0x0007, "MSG_RESET"},        {0x0008, "MSG_QUERYSUPPORT"},
    {0x0009, "MSG_GETHELP"},      {0x000a, "MSG_GETLABEL"},
    {0x000b, "MSG_GETLABELENUM"}, {0x000c, "MSG_SETCONSTRAINT"},
    {0x0101, "MSG_XFERREADY"},    {0x0102, "MSG_CLOSEDSREQ"},
    {0x0103, "MSG_CLOSEDSOK"},    {0x0104, "MSG_DEVICEEVENT"},
    {0x0401, "MSG_OPENDS"},       {0x0402, "MSG_CLOSEDS"},
    {0x0403, "MSG_USERSELECT"},   {0x0501, "MSG_DISABLEDS"},
    {0x0502, "MSG_ENABLEDS"},     {0x0503, "MSG_ENABLEDSUIONLY"},
    {0x0601, "MSG_PROCESSEVENT"}, {0x0701, "MSG_ENDXFER"},
    {0x0702, "MSG_STOPFEEDER"},   {0x0902, "MSG_REGISTER_CALLBACK"},
    {0x0a01, "MSG_RESETALL"},
};

constexpr Named RETURN_CODES[] = {
    {0, "TWRC_SUCCESS"},          {1, "TWRC_FAILURE"},   {2, "TWRC_CHECKSTATUS"},
    {3, "TWRC_CANCEL"},           {4, "TWRC_DSEVENT"},   {5, "TWRC_NOTDSEVENT"},
    {6, "TWRC_XFERDONE"},         {7, "TWRC_ENDOFLIST"}, {8, "TWRC_INFONOTSUPPORTED"},
    {9, "TWRC_DATANOTAVAILABLE"}, {10, "TWRC_BUSY"},     {11, "TWRC_SCANNERLOCKED"},
};

constexpr Named CONDITIONS[] = {
    {0, "TWCC_SUCCESS"},          {1, "TWCC_BUMMER"},
    {2, "TWCC_LOWMEMORY"},        {3, "TWCC_NODS"},
    {4, "TWCC_MAXCONNECTIONS"},   {5, "TWCC_OPERATIONERROR"},
    {6, "TWCC_BADCAP"},           {9, "TWCC_BADPROTOCOL"},
    {10, "TWCC_BADVALUE"},        {11, "TWCC_SEQERROR"},
    {12, "TWCC_BADDEST"},         {13, "TWCC_CAPUNSUPPORTED"},
    {14, "TWCC_CAPBADOPERATION"}, {15, "TWCC_CAPSEQERROR"},
    {16, "TWCC_DENIED"},          {17, "TWCC_FILEEXISTS"},
    {18, "TWCC_FILENOTFOUND"},    {19, "TWCC_NOTEMPTY"},
    {20, "TWCC_PAPERJAM"},        {21, "TWCC_PAPERDOUBLEFEED"},
    {22, "TWCC_FILEWRITEERROR"},  {23, "TWCC_CHECKDEVICEONLINE"},
};

template <size_t N> std::string NameOf(const Named (&table)[N], unsigned value)
{
    for (const Named &named : table) {
        if (named.value == value)
            return named.name;
    }
    return LogFormat("0x%04X", value);
}

// What the triplet carried or brought back, in short; the bytes of a transfer at the traffic
// level.
std::string Arguments(pTW_IDENTITY origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data,
                      const TwainResult &result)
{
    if (data == nullptr)
        return std::string();
    switch (dat) {
    case DAT_CAPABILITY:
        return LogFormat(" cap=0x%04X", static_cast<const TW_CAPABILITY *>(data)->Cap);
    case DAT_IDENTITY:
        return msg == MSG_OPENDS && origin != nullptr
                   ? LogFormat(" application=\"%.32s\"", origin->ProductName)
                   : std::string();
    case DAT_USERINTERFACE:
        return msg == MSG_ENABLEDS
                   ? LogFormat(" ShowUI=%d", static_cast<const TW_USERINTERFACE *>(data)->ShowUI)
                   : std::string();
    case DAT_PENDINGXFERS:
        return LogFormat(" count=%d", static_cast<const TW_PENDINGXFERS *>(data)->Count);
    case DAT_IMAGEMEMXFER:
        if (!LogEnabled(LogLevel::Traffic) || result.rc == TWRC_FAILURE)
            return std::string();
        return LogFormat(
            " rows=%lu bytes=%lu",
            static_cast<unsigned long>(static_cast<const TW_IMAGEMEMXFER *>(data)->Rows),
            static_cast<unsigned long>(static_cast<const TW_IMAGEMEMXFER *>(data)->BytesWritten));
    case DAT_IMAGENATIVEXFER: {
        if (!LogEnabled(LogLevel::Traffic) || result.rc != TWRC_XFERDONE)
            return std::string();
        const HGLOBAL dib = *static_cast<const TW_HANDLE *>(data);
        return LogFormat(" bytes=%llu", static_cast<unsigned long long>(GlobalSize(dib)));
    }
    default:
        return std::string();
    }
}

} // namespace

void LogTriplet(pTW_IDENTITY origin, TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data,
                const TwainResult &result, const LogTimer &timer) noexcept
{
    // Taken whatever happens, so that a step of this call never shows with a later one.
    const bool failed = result.rc == TWRC_FAILURE;
    // The application's loop passes every window message through the source.
    if (!LogEnabled(failed ? LogLevel::Errors : LogLevel::Calls) ||
        (dat == DAT_EVENT && result.rc == TWRC_NOTDSEVENT)) {
        DropFailedStep();
        return;
    }
    // Memory short while a line is put together costs the line, never the triplet's answer.
    try {
        const std::string step = TakeFailedStep();
        const std::string condition =
            failed ? " " + NameOf(CONDITIONS, result.condition) : std::string();
        LogLine("%s %s %s%s -> %s%s (%.2f ms)%s", NameOf(GROUPS, group).c_str(),
                NameOf(DATS, dat).c_str(), NameOf(MSGS, msg).c_str(),
                Arguments(origin, dat, msg, data, result).c_str(),
                NameOf(RETURN_CODES, result.rc).c_str(), condition.c_str(), timer.Milliseconds(),
                step.c_str());
    } catch (...) {
    }
}
