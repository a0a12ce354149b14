#include "tests/e2e/browser_page.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr char kChromium[] = "/usr/bin/chromium";

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string browser_environment()
{
    if (access(kChromium, X_OK) != 0)
        return "Chromium is not installed (scripts/setup.sh installs Debian's chromium)";
    if (access("/usr/bin/janus", X_OK) != 0 || access("/usr/share/javascript/janus-gateway/janus.js", R_OK) != 0)
        return "Janus is not installed (scripts/setup.sh installs janus and libjs-janus-gateway)";
    if (access("/usr/bin/python3", X_OK) != 0 || access("/usr/sbin/ip", X_OK) != 0)
        return "python3 or iproute2 is missing (scripts/setup.sh installs them)";
    return browser_network();
}

std::string browser_network()
{
    if (unshare(CLONE_NEWNET) != 0)
        return std::string("cannot make a network namespace: ") + strerror(errno);
    const char *setup = "ip link set lo up && ip link add vistrel0 type veth peer name vistrel1 && "
                        "ip addr add 10.231.0.1/24 dev vistrel0 && ip addr add 10.231.0.2/24 dev vistrel1 && "
                        "ip link set vistrel0 up && ip link set vistrel1 up";
    if (std::system(setup) != 0)
        return "cannot make the veth pair in the test's network namespace";
    return "";
}

int browser_open(BrowserPage *page, const std::string &name, const std::string &url)
{
    page->name = name;
    const std::string profile = "/tmp/chromium-" + name;
    if (e2e_spawn(&page->process, name, kChromium,
                  {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile,
                   "--autoplay-policy=no-user-gesture-required", "--enable-logging=stderr", "--v=0", url}) != 0)
        return -1;
    page->err_path = page->process.err_path;
    return 0;
}

std::string browser_figures_line(const BrowserPage *page)
{
    const std::string log = read_all(page->err_path);
    const std::string tag = "\"vistrel-figures ";
    size_t at = log.rfind(tag);
    if (at == std::string::npos)
        return "";
    at += tag.size();
    size_t end = log.find('"', at);
    return log.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::map<std::string, std::string> browser_figures(const BrowserPage *page)
{
    std::map<std::string, std::string> figures;
    std::istringstream words(browser_figures_line(page));
    std::string word;
    while (words >> word) {
        size_t eq = word.find('=');
        if (eq != std::string::npos)
            figures[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return figures;
}

double browser_number(const std::map<std::string, std::string> &figures, const std::string &key)
{
    auto it = figures.find(key);
    return it == figures.end() ? 0 : std::atof(it->second.c_str());
}

std::string browser_tail(const std::string &path, size_t bytes)
{
    std::string text = read_all(path);
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}
