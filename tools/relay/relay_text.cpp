#include "tools/relay/relay_text.h"
#include "libs/common/relay_protocol.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

int relay_codec_from_name(const std::string &name)
{
    std::string n;
    for (char c : name)
        n += char(std::tolower(static_cast<unsigned char>(c)));
    if (n == "h264" || n == "h.264" || n == "avc")
        return CODEC_TYPE_H264;
    if (n == "h265" || n == "h.265" || n == "hevc")
        return CODEC_TYPE_H265;
    if (n == "vp8")
        return CODEC_TYPE_VP8;
    if (n == "vp9")
        return CODEC_TYPE_VP9;
    if (n == "av1")
        return CODEC_TYPE_AV1;
    return -1;
}

const char *relay_codec_rtp_name(int codec)
{
    switch (codec) {
    case CODEC_TYPE_H265: return "H265";
    case CODEC_TYPE_VP8: return "VP8";
    case CODEC_TYPE_VP9: return "VP9";
    case CODEC_TYPE_AV1: return "AV1";
    default: return "H264";
    }
}

RelayColour relay_colour_from_config(const std::map<std::string, std::string> &fields)
{
    using namespace relay_protocol;
    RelayColour colour;
    auto field = [&](const char *name) {
        auto it = fields.find(name);
        return it == fields.end() ? std::string() : it->second;
    };
    if (field(kFieldDepth) != "10")
        return colour;
    colour.depth = 10;
    colour.primaries = field(kFieldPrimaries);
    colour.transfer = field(kFieldTransfer);
    colour.matrix = field(kFieldMatrix);
    colour.range = field(kFieldRange);
    colour.mastering_display = field(kFieldMasteringDisplay);
    colour.content_light = field(kFieldContentLight);
    return colour;
}

bool relay_colour_equal(const RelayColour &a, const RelayColour &b)
{
    return a.depth == b.depth && a.primaries == b.primaries && a.transfer == b.transfer && a.matrix == b.matrix &&
           a.range == b.range && a.mastering_display == b.mastering_display && a.content_light == b.content_light;
}

std::string relay_sdp_text(int codec, int payload_type, int port, const RelayColour &colour)
{
    std::string pt = std::to_string(payload_type);
    std::string text = "v=0\r\n"
                       "o=- 0 0 IN IP4 127.0.0.1\r\n"
                       "s=Vistrel\r\n"
                       "c=IN IP4 127.0.0.1\r\n"
                       "t=0 0\r\n"
                       "m=video " +
                       std::to_string(port) + " RTP/AVP " + pt +
                       "\r\n"
                       "a=rtpmap:" +
                       pt + " " + relay_codec_rtp_name(codec) + "/90000\r\n";
    // The sender fragments large NAL units, which needs the non-interleaved mode.
    if (codec == CODEC_TYPE_H264)
        text += "a=fmtp:" + pt + " packetization-mode=1\r\n";
    if (colour.depth != 10 || (codec != CODEC_TYPE_H265 && codec != CODEC_TYPE_AV1))
        return text;
    // Main 10 (H.265), Main (AV1: 10-bit 4:2:0).
    text += "a=fmtp:" + pt + (codec == CODEC_TYPE_H265 ? " profile-id=2\r\n" : " profile=0\r\n");
    text += "a=x-vistrel-colour:" + pt + " depth=10;primaries=" + colour.primaries + ";transfer=" + colour.transfer +
            ";matrix=" + colour.matrix + ";range=" + colour.range;
    if (!colour.mastering_display.empty())
        text += ";mastering_display=" + colour.mastering_display;
    if (!colour.content_light.empty())
        text += ";content_light=" + colour.content_light;
    return text + "\r\n";
}

int relay_write_file(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "wb");
    if (!f)
        return -1;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return -1;
    }
    return 0;
}

std::string relay_unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        char e = text[i + 1];
        if (e == 'n') {
            out += '\n';
            ++i;
        } else if (e == 'r') {
            out += '\r';
            ++i;
        } else if (e == 't') {
            out += '\t';
            ++i;
        } else if (e == '\\') {
            out += '\\';
            ++i;
        } else if (e == 'x' && i + 3 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += char(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += c;
        }
    }
    return out;
}

std::string relay_escape(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out;
}

int relay_parse_send(const std::string &request, RelayScheduledRecord *out)
{
    size_t colon = request.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 12)
        return -1;
    int64_t delay = 0;
    for (size_t i = 0; i < colon; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(request[i])))
            return -1;
        delay = delay * 10 + (request[i] - '0');
    }
    std::string record = relay_unescape(request.substr(colon + 1));
    if (record.empty())
        return -1;
    out->delay_ms = delay;
    out->record = record;
    return 0;
}

int relay_parse_config(const std::string &reply, std::map<std::string, std::string> *fields)
{
    const std::string head = relay_protocol::kConfigReplyHead;
    if (reply.compare(0, head.size(), head) != 0)
        return -1;
    fields->clear();
    size_t pos = head.size();
    while (pos < reply.size()) {
        size_t end = reply.find('\n', pos);
        if (end == std::string::npos)
            end = reply.size();
        std::string line = reply.substr(pos, end - pos);
        size_t eq = line.find('=');
        if (eq != std::string::npos && eq > 0)
            (*fields)[line.substr(0, eq)] = line.substr(eq + 1);
        pos = end + 1;
    }
    return 0;
}
