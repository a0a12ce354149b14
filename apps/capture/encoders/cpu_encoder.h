// Software encoders: the table of FFmpeg software encoders and the CpuEncoder
// object that encodes caller-owned planar YUV 4:2:0 frames.
#pragma once

#include <cstdint>

struct CpuEncoder;

// Requests an intra picture for the next encoded frame. Safe to call from the
// control thread while the pipeline thread encodes. 0, or -1 for null.
int cpu_encoder_force_keyframe(CpuEncoder *encoder);

// Changes the target and maximum bit rate (bits per second); the next encoded
// frame uses it. Safe to call from the control thread while the pipeline
// thread encodes. 0, or -1 for a missing encoder or context.
int cpu_encoder_set_bitrate(CpuEncoder *encoder, int bitrate);
