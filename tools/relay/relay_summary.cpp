#include "tools/relay/relay_summary.h"

#include <cstdarg>
#include <cstdio>

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
    line(&out, "datagrams=%llu", u(r.datagrams));
    line(&out, "packets=%llu", u(r.packets));
    line(&out, "bytes=%llu", u(r.bytes));
    line(&out, "frames=%llu", u(r.frames));
    line(&out, "fps=%.2f", relay_rtp_fps(&r));
    line(&out, "largest_datagram=%llu", u(r.largest));
    line(&out, "bad_version=%llu", u(r.bad_version));
    line(&out, "oversize=%llu", u(r.oversize));
    line(&out, "malformed=%llu", u(r.malformed));
    line(&out, "rtcp_packets=%llu", u(r.rtcp_packets));
    line(&out, "streams=%llu", u(r.streams));
    line(&out, "payload_type=%u", r.payload_type);
    line(&out, "sequence_gaps=%llu", u(r.sequence_gaps));
    line(&out, "lost_packets=%llu", u(r.lost_packets));
    line(&out, "out_of_order=%llu", u(r.out_of_order));
    line(&out, "timestamp_steps=%llu", u(r.timestamp_steps));
    line(&out, "timestamp_step_min=%u", r.timestamp_step_min);
    line(&out, "timestamp_step_max=%u", r.timestamp_step_max);
    line(&out, "timestamp_off_grid=%llu", u(r.timestamp_off_grid));
    line(&out, "timestamp_backward=%llu", u(r.timestamp_backward));
    line(&out, "forward_errors=%lld", s(m.forward_errors));
    line(&out, "control_connections=%lld", s(m.control_connections));
    line(&out, "replies=%lld", s(m.replies));
    line(&out, "unsent_records=%lld", s(m.unsent_records));
    line(&out, "codec=%s", relay_codec_rtp_name(m.codec));
    if (m.decoding) {
        const RelayDecoderResult &d = m.decoded;
        line(&out, "decode_sessions=%d", m.decode_sessions);
        line(&out, "demuxed_packets=%lld", s(d.demuxed_packets));
        line(&out, "decoded_frames=%lld", s(d.decoded_frames));
        line(&out, "decode_errors=%lld", s(d.decode_errors));
        line(&out, "decoder_feed_errors=%lld", s(m.decoder_feed_errors));
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
        line(&out, "feedback_datagrams=%llu", u(f.datagrams));
        line(&out, "feedback_bad=%llu", u(f.bad));
        line(&out, "feedback_pli=%llu", u(f.picture_loss));
        line(&out, "feedback_fir=%llu", u(f.full_intra));
        line(&out, "feedback_remb=%llu", u(f.bitrate_reports));
        line(&out, "feedback_idr_records=%llu", u(f.idr_records));
        line(&out, "feedback_bps_records=%llu", u(f.bps_records));
        line(&out, "feedback_last_bps=%llu", u(f.last_bps));
    }
    return out;
}
