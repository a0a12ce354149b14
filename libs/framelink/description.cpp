#include "libs/framelink/description.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Reads "key=value" fields separated by '|' in the given key order.
bool parse_fields(const std::string &line, const char *const *keys, size_t count, uint64_t *values,
                  const uint64_t *limits)
{
    size_t pos = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t klen = std::strlen(keys[i]);
        if (line.compare(pos, klen, keys[i]) != 0 || pos + klen >= line.size() || line[pos + klen] != '=')
            return false;
        pos += klen + 1;
        if (pos >= line.size() || line[pos] < '0' || line[pos] > '9')
            return false;
        errno = 0;
        char *end = nullptr;
        unsigned long long v = std::strtoull(line.c_str() + pos, &end, 10);
        if (errno == ERANGE || v > limits[i])
            return false;
        values[i] = v;
        pos = size_t(end - line.c_str());
        if (i + 1 < count) {
            if (pos >= line.size() || line[pos] != '|')
                return false;
            ++pos;
        }
    }
    return pos == line.size();
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t at = text.find("\r\n", start);
        if (at == std::string::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, at - start));
        start = at + 2;
    }
}

}  // namespace

namespace framelink {

std::string write_description(const Description &d)
{
    std::string text;
    char line[128];
    for (int i = 0; i < d.plane_count && i < UDS_MAX_PLANES; i++) {
        const int n = i == 0
                          ? snprintf(line, sizeof line, "w=%u|h=%u|f=%u|s=%u|o=%u|m=%" PRIu64 "|r=%u", d.width,
                                     d.height, d.format, d.planes[0].stride, d.planes[0].offset, d.modifier, d.refresh)
                          : snprintf(line, sizeof line, "s=%u|o=%u", d.planes[i].stride, d.planes[i].offset);
        if (i)
            text.append("\r\n");
        text.append(line, size_t(n));
    }
    return text;
}

bool parse_description(const std::string &text, Description *out)
{
    std::vector<std::string> lines = split_lines(text);
    if (lines.size() > size_t(UDS_MAX_PLANES))
        return false;
    static const char *const full_keys[] = {"w", "h", "f", "s", "o", "m", "r"};
    static const uint64_t full_limits[] = {UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX,
                                           UINT32_MAX, UINT64_MAX, UINT32_MAX};
    static const char *const short_keys[] = {"s", "o"};
    static const uint64_t short_limits[] = {UINT32_MAX, UINT32_MAX};

    uint64_t full[7];
    if (!parse_fields(lines[0], full_keys, 7, full, full_limits))
        return false;
    Description d{};
    d.width = uint32_t(full[0]);
    d.height = uint32_t(full[1]);
    d.format = uint32_t(full[2]);
    d.planes[0] = {uint32_t(full[3]), uint32_t(full[4])};
    d.modifier = full[5];
    d.refresh = uint32_t(full[6]);
    for (size_t i = 1; i < lines.size(); ++i) {
        uint64_t so[2];
        if (!parse_fields(lines[i], short_keys, 2, so, short_limits))
            return false;
        d.planes[i] = {uint32_t(so[0]), uint32_t(so[1])};
    }
    d.plane_count = int(lines.size());
    *out = d;
    return true;
}

}  // namespace framelink
