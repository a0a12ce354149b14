// One decoding session of the relay: the datagrams of one stream are fed
// to FFmpeg's own RTP demuxer over a private UDP port on 127.0.0.1; its
// packets are recorded to a file, decoded, measured against the watermark
// and the display's own stamp, and one decoded frame can be saved as a PNG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct RelayDecoderOptions {
    int codec;                   // CodecType
    int payload_type;            // of the stream, 96 for the capture side's codecs
    std::string record_path;     // empty: no recording; the format follows the extension
    std::string snapshot_path;   // empty: no snapshot
    int64_t snapshot_frame;      // index of the decoded frame to save
    bool latency;                // read the watermark of every decoded frame
    bool bitmap_digits = false;  // the watermark is 13 bitmap-font digits (compatible
                                 // mode), not seven-segment digits
    bool per_frame;              // print one latency line per frame on stdout
    bool source_stamp = false;   // read the virtual display's own stamp of every frame
};

// What a session did, complete once relay_decoder_destroy has run.
struct RelayDecoderResult {
    int64_t demuxed_packets;
    int64_t recorded_packets;
    int64_t decoded_frames;
    int64_t decode_errors;
    int width, height;       // of the last decoded frame
    std::string codec_name;  // of the demuxed stream, e.g. "h264"
    bool snapshot_written;
    std::vector<double> latency_ms;  // one per frame whose watermark was read
    int64_t watermark_unreadable;
    std::string error;                      // why the session stopped early, or empty
    std::vector<double> source_latency_ms;  // one per frame whose display stamp was read
    int64_t source_unreadable = 0;
};

struct RelayDecoder;

// Binds the private port, opens the demuxer on it and starts the session's
// thread. Returns 0, or -1 with a message in *error (nothing left running).
int relay_decoder_create(RelayDecoder **out, const RelayDecoderOptions *options, std::string *error);

// Feeds one valid RTP datagram that arrived at arrival_ns (CLOCK_REALTIME)
// with the given RTP timestamp. Returns 0, or -1 when it could not be sent.
int relay_decoder_feed(RelayDecoder *decoder, const uint8_t *data, size_t size, uint32_t timestamp, int64_t arrival_ns);

// Tells the session that no more datagrams come; it ends by itself once
// what was fed has been handled (half a second without progress).
void relay_decoder_close_input(RelayDecoder *decoder);

// True once the session's thread has finished.
bool relay_decoder_done(RelayDecoder *decoder);

// Closes the input, waits up to wait_ms for the session to finish, stops it
// if it has not, joins it, and frees everything. Fills *result when not null.
void relay_decoder_destroy(RelayDecoder *decoder, int wait_ms, RelayDecoderResult *result);

// The nearest-rank percentile p (0..100) of the values, or 0 when empty.
double relay_percentile(std::vector<double> values, double p);
