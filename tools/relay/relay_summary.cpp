#include "tools/relay/relay_summary.h"

#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <type_traits>

#include "tools/relay/relay_text.h"

namespace {

void line(std::string *out, const char *format, ...) __attribute__((format(printf, 2, 3)));

void line(std::string *out, const char *format, ...)
{
    va_list ap, again;
    va_start(ap, format);
    va_copy(again, ap);
    int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    if (n > 0) {
        size_t at = out->size();
        out->resize(at + size_t(n) + 1);
        std::vsnprintf(out->data() + at, size_t(n) + 1, format, again);
        out->resize(at + size_t(n));
    }
    va_end(again);
    out->push_back('\n');
}

unsigned long long u(uint64_t v)
{
    return static_cast<unsigned long long>(v);
}

long long s(int64_t v)
{
    return static_cast<long long>(v);
}

// One "name=value" line a count, in the order given: unsigned counts in
// %llu, signed ones in %lld.
template <typename T>
struct Count {
    const char *name;
    T value;
};

template <typename T>
void count_lines(std::string *out, std::initializer_list<Count<T>> counts)
{
    for (const Count<T> &c : counts) {
        if constexpr (std::is_signed_v<T>)
            line(out, "%s=%lld", c.name, s(c.value));
        else
            line(out, "%s=%llu", c.name, u(c.value));
    }
}

// The five lines of one latency measure: frames, unreadable, p50, p95, max.
void latency_lines(std::string *out, const char *name, const std::vector<double> &values, int64_t unreadable)
{
    line(out, "%s_frames=%zu", name, values.size());
    line(out, "%s_unreadable=%lld", name, s(unreadable));
    line(out, "%s_p50_ms=%.1f", name, relay_percentile(values, 50));
    line(out, "%s_p95_ms=%.1f", name, relay_percentile(values, 95));
    line(out, "%s_max_ms=%.1f", name, relay_percentile(values, 100));
}

}  // namespace

void relay_summary_add_session(RelaySummary *total, const RelayDecoderResult &r)
{
    RelayDecoderResult &t = total->decoded;
    t.demuxed_packets += r.demuxed_packets;
    t.recorded_packets += r.recorded_packets;
    t.decoded_frames += r.decoded_frames;
    t.decode_errors += r.decode_errors;
    t.watermark_unreadable += r.watermark_unreadable;
    if (r.decoded_frames > 0) {
        t.width = r.width;
        t.height = r.height;
    }
    if (!r.codec_name.empty())
        t.codec_name = r.codec_name;
    t.snapshot_written = t.snapshot_written || r.snapshot_written;
    total->latency_ms.insert(total->latency_ms.end(), r.latency_ms.begin(), r.latency_ms.end());
    t.source_unreadable += r.source_unreadable;
    total->source_latency_ms.insert(total->source_latency_ms.end(), r.source_latency_ms.begin(),
                                    r.source_latency_ms.end());
}

std::string relay_summary_text(const RelaySummary &m)
{
    const RelayRtpStats &r = m.rtp;
    std::string out;
    line(&out, "summary=1");
    count_lines<uint64_t>(&out, {
                                    {"datagrams", r.datagrams},
                                    {"packets", r.packets},
                                    {"bytes", r.bytes},
                                    {"frames", r.frames},
                                });
    line(&out, "fps=%.2f", relay_rtp_fps(&r));
    count_lines<uint64_t>(&out, {
                                    {"largest_datagram", r.largest},
                                    {"bad_version", r.bad_version},
                                    {"oversize", r.oversize},
                                    {"malformed", r.malformed},
                                    {"rtcp_packets", r.rtcp_packets},
                                    {"streams", r.streams},
                                    {"payload_type", r.payload_type},
                                    {"sequence_gaps", r.sequence_gaps},
                                    {"lost_packets", r.lost_packets},
                                    {"out_of_order", r.out_of_order},
                                    {"timestamp_steps", r.timestamp_steps},
                                    {"timestamp_step_min", r.timestamp_step_min},
                                    {"timestamp_step_max", r.timestamp_step_max},
                                    {"timestamp_off_grid", r.timestamp_off_grid},
                                    {"timestamp_backward", r.timestamp_backward},
                                });
    count_lines<int64_t>(&out, {
                                   {"forward_errors", m.forward_errors},
                                   {"control_connections", m.control_connections},
                                   {"replies", m.replies},
                                   {"unsent_records", m.unsent_records},
                               });
    line(&out, "codec=%s", relay_codec_rtp_name(m.codec));
    if (m.decoding) {
        const RelayDecoderResult &d = m.decoded;
        count_lines<int64_t>(&out, {
                                       {"decode_sessions", m.decode_sessions},
                                       {"demuxed_packets", d.demuxed_packets},
                                       {"decoded_frames", d.decoded_frames},
                                       {"decode_errors", d.decode_errors},
                                       {"decoder_feed_errors", m.decoder_feed_errors},
                                   });
        line(&out, "decoded_codec=%s", d.codec_name.empty() ? "none" : d.codec_name.c_str());
        line(&out, "decoded_size=%dx%d", d.width, d.height);
        if (m.recording)
            line(&out, "recorded_packets=%lld", s(d.recorded_packets));
        if (!m.snapshot_path.empty())
            line(&out, "snapshot=%s", d.snapshot_written ? m.snapshot_path.c_str() : "none");
    }
    if (m.latency)
        latency_lines(&out, "latency", m.latency_ms, m.decoded.watermark_unreadable);
    if (m.source_stamp)
        latency_lines(&out, "source_latency", m.source_latency_ms, m.decoded.source_unreadable);
    if (m.feedback) {
        const RelayFeedbackState &f = m.feedback_state;
        count_lines<uint64_t>(&out, {
                                        {"feedback_datagrams", f.datagrams},
                                        {"feedback_bad", f.bad},
                                        {"feedback_pli", f.picture_loss},
                                        {"feedback_fir", f.full_intra},
                                        {"feedback_remb", f.bitrate_reports},
                                        {"feedback_idr_records", f.idr_records},
                                        {"feedback_bps_records", f.bps_records},
                                        {"feedback_last_bps", f.last_bps},
                                    });
    }
    return out;
}
