#include "progress.h"

#include <cstdio>

#include "user_stream.h"

namespace vorncli {

namespace {

const int BAR_WIDTH = 30;
// Redrawing more often than this only costs time on slow terminals.
const std::chrono::milliseconds REDRAW_INTERVAL(100);

std::string formatDuration(double seconds) {
    const long total = static_cast<long>(seconds + 0.5);
    char text[32];
    snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
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
    draw();
}

void Progress::setFileTotal(long long files) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_filesTotal = files;
}

void Progress::fileDone() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_filesDone;
    draw();
}

void Progress::finish() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_drawn) {
        fputs("\r\033[K", userStream());
        m_drawn = false;
    }
}

long long Progress::bytes() const {
    return m_done;
}

double Progress::seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

std::string Progress::summary(long long files) const {
    const double elapsed = seconds();
    const double rate = elapsed > 0 ? m_done / 1e6 / elapsed : 0;
    char text[128];
    snprintf(text, sizeof text, "%lld files, %lld bytes in %.2f s (%.1f MB/s)", files, m_done,
             elapsed, rate);
    return text;
}

void Progress::draw() {
    if (!m_showBar) {
        return;
    }
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (m_drawn && now - m_lastDraw < REDRAW_INTERVAL) {
        return;
    }
    m_lastDraw = now;
    const double elapsed = std::chrono::duration<double>(now - m_start).count();
    const double rate = elapsed > 0 ? m_done / elapsed : 0;
    std::string line = "\r";
    if (m_total > 0) {
        const double fraction = m_done >= m_total ? 1.0 : static_cast<double>(m_done) / m_total;
        const int filled = static_cast<int>(fraction * BAR_WIDTH);
        line += "[" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, ' ') + "] ";
        line += humanSize(m_done) + " / " + humanSize(m_total);
    } else {
        line += humanSize(m_done);
    }
    if (m_filesTotal > 0) {
        line += "  " + std::to_string(m_filesDone) + "/" + std::to_string(m_filesTotal) + " files";
    }
    line += "  " + humanSize(rate) + "/s";
    if (m_total > m_done && rate > 0) {
        line += "  " + formatDuration((m_total - m_done) / rate) + " left";
    }
    fputs((line + "\033[K").c_str(), userStream());
    fflush(userStream());
    m_drawn = true;
}

} // namespace vorncli
