// The generic codec wrapper: encodes packed I420 pictures.
#pragma once

#include <cstdint>

struct CodecContext;

// Changes the bit rate (bits per second); the next encoded frame uses it.
// Safe to call from the control thread. 0, or -1 without a context or encoder.
int codec_set_bitrate(CodecContext *codec, int bitrate);

// Requests an intra picture for the next encoded frame. Safe to call from the
// control thread. 0, or -1 without a context.
int codec_force_keyframe(CodecContext *codec);
