#include "progress.h"

#include <cstdio>

#include "log_file.h"
#include "user_stream.h"

namespace vorncli {

namespace {

const int BAR_WIDTH = 30;
// Redrawing more often than this only costs time on slow terminals.
const std::chrono::milliseconds REDRAW_INTERVAL(100);
const char *const ERASE_LINE = "\r\033[K";

std::string formatDuration(double seconds) {
    const long total = static_cast<long>(seconds + 0.5);
    char text[32];
    snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The user stream is line-buffered: a frame without a newline must be pushed out by hand, or
// it would reach the terminal after whatever is printed next.
void put(const std::string &text) {
    fputs(text.c_str(), userStream());
    fflush(userStream());
}

} // namespace

std::string humanSize(double bytes) {
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string humanRate(double bytes, double seconds) {
    return humanSize(seconds > 0 ? bytes / seconds : 0) + "/s";
}

std::string groupedCount(long long count) {
    std::string digits = std::to_string(count < 0 ? -count : count);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(at, ",");
    }
    return (count < 0 ? "-" : "") + digits;
}

Progress::Progress(long long total, bool showBar)
    : m_total(total), m_done(0), m_showBar(showBar), m_drawn(false),
      m_start(std::chrono::steady_clock::now()), m_lastDraw(m_start) {}

Progress::~Progress() {
    finish();
}

boost::function<bool(long long)> Progress::callback() {
    return [this](long long bytes) {
        add(bytes);
        return true;
    };
}

void Progress::add(long long bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done += bytes;
    draw(false);
}

void Progress::setFileTotal(long long files) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_filesTotal = files;
}

void Progress::fileDone() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_filesDone;
    draw(false);
}

void Progress::note(const std::string &line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool wasDrawn = m_drawn;
    erase();
    put(line + "\n");
    logLine(line);
    if (wasDrawn) {
        draw(true);
    }
}

void Progress::markDone() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_markedDone = true;
}

void Progress::finish() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_drawn) {
        return;
    }
    if (complete()) {
        draw(true);
        put("\n");
        m_drawn = false;
    } else {
        erase();
    }
}

long long Progress::bytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_done;
}

double Progress::seconds() const {
    return secondsSince(m_start);
}

std::string Progress::figures() const {
    const double elapsed = seconds();
    const long long done = bytes();
    char text[96];
    snprintf(text, sizeof text, "%lld bytes in %.2f s (%s)", done, elapsed,
             humanRate(static_cast<double>(done), elapsed).c_str());
    return text;
}

std::string Progress::summary(long long files) const {
    return std::to_string(files) + " files, " + figures();
}

bool Progress::complete() const {
    if (m_markedDone) {
        return true;
    }
    if (m_filesTotal > 0) {
        return m_filesDone >= m_filesTotal;
    }
    return m_total > 0 && m_done >= m_total;
}

void Progress::erase() {
    if (m_drawn) {
        put(ERASE_LINE);
        m_drawn = false;
    }
}

void Progress::draw(bool force) {
    if (!m_showBar) {
        return;
    }
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (!force && m_drawn && now - m_lastDraw < REDRAW_INTERVAL) {
        return;
    }
    m_lastDraw = now;
    const double elapsed = std::chrono::duration<double>(now - m_start).count();
    const double rate = elapsed > 0 ? m_done / elapsed : 0;
    // A finished run shows 100% even when a file failed and its bytes never came.
    const bool done = complete();
    std::string line = "\r";
    if (m_total > 0 || done) {
        const double fraction =
            done || m_done >= m_total ? 1.0 : static_cast<double>(m_done) / m_total;
        const int filled = static_cast<int>(fraction * BAR_WIDTH);
        char percent[8];
        snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
        line += "[" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, ' ') + "] ";
        line += std::string(percent) + "  " + humanSize(m_done);
        if (m_total > 0) {
            line += " / " + humanSize(m_total);
        }
    } else {
        line += humanSize(m_done);
    }
    if (m_filesTotal > 0) {
        line += "  " + groupedCount(m_filesDone) + "/" + groupedCount(m_filesTotal) + " files";
    }
    line += "  " + humanRate(m_done, elapsed);
    if (!done && m_total > m_done && rate > 0) {
        line += "  " + formatDuration((m_total - m_done) / rate) + " left";
    }
    put(line + "\033[K");
    m_drawn = true;
}

PhaseSpinner::PhaseSpinner(const std::string &what, const std::string &unit, bool show)
    : m_what(what), m_unit(unit), m_show(show), m_lastDraw(std::chrono::steady_clock::now()) {}

PhaseSpinner::~PhaseSpinner() {
    finish();
}

void PhaseSpinner::add(long long count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_count += count;
    draw();
}

long long PhaseSpinner::count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

void PhaseSpinner::finish() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_drawn) {
        put(ERASE_LINE);
        m_drawn = false;
    }
}

void PhaseSpinner::draw() {
    static const char TURNS[] = {'|', '/', '-', '\\'};
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (!m_show || (m_drawn && now - m_lastDraw < REDRAW_INTERVAL)) {
        return;
    }
    m_lastDraw = now;
    put(std::string("\r") + TURNS[m_turn++ % sizeof TURNS] + " " + m_what + "  " +
        groupedCount(m_count) + " " + m_unit + "\033[K");
    m_drawn = true;
}

} // namespace vorncli
