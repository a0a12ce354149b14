#include "apps/capture/core/hdr_signal.h"

#include <cstring>

HdrSignal hdr_signal_from_record(const HdrRecord &record)
{
    HdrSignal s;
    if (record.eotf == UDS_HDR_EOTF_PQ)
        s.transfer = HDR_TRANSFER_PQ;
    else if (record.eotf == UDS_HDR_EOTF_HLG)
        s.transfer = HDR_TRANSFER_HLG;
    else
        return s;
    s.bt2020 = record.colorimetry == UDS_COLORIMETRY_BT2020_RGB || record.colorimetry == UDS_COLORIMETRY_BT2020_YCC ||
               record.colorimetry == UDS_COLORIMETRY_BT2020_CYCC;
    std::memcpy(s.primaries, record.primaries, sizeof s.primaries);
    std::memcpy(s.white_point, record.white_point, sizeof s.white_point);
    s.max_mastering_luminance = record.max_mastering_luminance;
    s.min_mastering_luminance = record.min_mastering_luminance;
    s.max_cll = record.max_cll;
    s.max_fall = record.max_fall;
    return s;
}

bool hdr_signal_equal(const HdrSignal &a, const HdrSignal &b)
{
    return a.transfer == b.transfer && a.bt2020 == b.bt2020 &&
           std::memcmp(a.primaries, b.primaries, sizeof a.primaries) == 0 &&
           std::memcmp(a.white_point, b.white_point, sizeof a.white_point) == 0 &&
           a.max_mastering_luminance == b.max_mastering_luminance &&
           a.min_mastering_luminance == b.min_mastering_luminance && a.max_cll == b.max_cll &&
           a.max_fall == b.max_fall;
}

const char *hdr_transfer_name(HdrTransfer transfer)
{
    switch (transfer) {
    case HDR_TRANSFER_PQ: return "PQ";
    case HDR_TRANSFER_HLG: return "HLG";
    default: return "SDR";
    }
}
