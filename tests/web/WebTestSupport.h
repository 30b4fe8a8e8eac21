#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// An element of a page's DOM as Chromium left it: its attributes.
struct Element {
    std::map<std::string, std::string> attributes;
    bool has(const std::string& name) const { return attributes.count(name) != 0; }
    std::string get(const std::string& name) const {
        auto it = attributes.find(name);
        return it == attributes.end() ? "" : it->second;
    }
    bool hasClass(const std::string& name) const;
};

// Every start tag of `tag` in the serialised DOM.
std::vector<Element> elements(const std::string& dom, const std::string& tag = "div");

class Tab;

// The shared tab, showing `page` (a file) after its scripts ran; `measure`
// as for domOf.
Tab& openPage(const std::filesystem::path& page, bool measure = false);

// The DOM of `page` (a file) after its scripts ran; with `measure`, each
// element with data-frame also carries data-box, its box as Chromium laid it
// out ("none" when not shown). Fails the test when Chromium cannot.
std::string domOf(const std::filesystem::path& page, bool measure);

// `html` with its screen kept from layout until `layOutWithEveryFont` is
// called on it: KaTeX still builds every formula at the page's load (and
// refuses one it cannot). A page of many formulas laid out while KaTeX's
// fonts come in is laid out again as each one comes, and on a crowded core
// they come one at a time.
std::string withScreenUnlaid(std::string html);
// Loads every font the page names, then lays out its screen.
void layOutWithEveryFont(Tab& tab);

// A PNG of the page's top-left `width` x `height` points at `scale`, made by
// the shared Chromium; returns the page's DOM. CALVARO_TEST_PICTURES=DIR
// keeps a copy of each picture in DIR.
std::string pictureOf(const std::filesystem::path& page, const std::filesystem::path& png, double width,
                      double height, double scale);
// A PNG's width and height in pixels, from its header; zeros for no PNG.
std::pair<uint32_t, uint32_t> pngSize(const std::filesystem::path& path);
// The red, green, blue and alpha of the pixel at (x, y) of an 8-bit RGB or
// RGBA PNG (as Chromium writes them); none for another file or a place
// outside the picture.
std::optional<std::array<uint8_t, 4>> pngPixel(const std::filesystem::path& path, uint32_t x, uint32_t y);

// Frames (data-frame) that differ from their laid-out boxes (data-box) by
// more than one point, one line each; shown elements only, counted in
// `compared`.
std::vector<std::string> framesOffByMoreThanAPoint(const std::string& dom, size_t& compared);

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& text);

// `calvaro` with `arguments`, started by a test in a process group of its
// own, in the test's environment with `replaced` ("NAME=value" each) put in;
// its standard output read by the test, its standard error kept in `errors`
// (in a file of its own without one, removed with it). Every wait on it is
// bounded; one still running when the test is done with it is ended as a
// group. When the test has failed, what it said on both outputs is printed.
class CalvaroProcess {
  public:
    CalvaroProcess(std::vector<std::string> arguments, const std::vector<std::string>& replaced = {},
                   const std::filesystem::path& errors = {});
    ~CalvaroProcess();
    CalvaroProcess(const CalvaroProcess&) = delete;
    CalvaroProcess& operator=(const CalvaroProcess&) = delete;

    // Reads the output until `holds` it; false when the output ended first or
    // had not come within `limit`.
    bool readUntil(const std::function<bool(const std::string&)>& holds, std::chrono::seconds limit);
    // Until the output holds `text`, within three minutes: longer than a
    // picture may take (calvaro says why it gave one up).
    bool readUntil(const std::string& text);
    void signal(int number);
    // The exit status, 128 + the signal for a process ended by one; -1 for
    // one still running a minute on (then ended as a group).
    int finish();
    // Its process, -1 once it has ended.
    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }
    // What it said on both outputs, for a failure's message.
    std::string said() const;

  private:
    bool readSome(std::chrono::steady_clock::time_point deadline);

    std::string commandLine_;
    std::filesystem::path errors_;
    bool ownErrors_ = false;
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};
