// Transfer progress: a bar on the user stream while bytes move, a spinner with counts for phases
// without bytes, and the figures for a summary line.
#ifndef VORN_CLI_PROGRESS_H
#define VORN_CLI_PROGRESS_H

#include <chrono>
#include <mutex>
#include <string>

#include <boost/function.hpp>

namespace vorncli {

// "512 B", "1.5 MiB": a size as a person reads it. Every size and rate vorn-azure shows uses
// these binary units.
std::string humanSize(double bytes);
// "1.5 MiB/s" for `bytes` moved in `seconds`.
std::string humanRate(double bytes, double seconds);

class Progress {
public:
    // `total` may be 0 when unknown; with `showBar` false only the figures are kept.
    Progress(long long total, bool showBar);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // The plug-in's progress callback: it reports each increment of bytes moved.
    boost::function<bool(long long)> callback();
    void add(long long bytes);
    // Counts whole files for a tree command: "done/total files" joins the bar.
    void setFileTotal(long long files);
    void fileDone();
    // Writes one line to the user stream above the bar (the bar is drawn again below it), so
    // per-file lines and failures from several threads never mix with the bar.
    void note(const std::string &line);
    // Says that all the work is done, for a bar whose total was not known (or not reached, as
    // when files failed): finish() then leaves it at 100%.
    void markDone();
    // Ends the bar before other output follows: when all the work was done (every byte or file
    // of the total, or markDone) its last frame stays on its own line, at 100%; otherwise (a
    // failure, Ctrl-C) the bar is erased. Safe to call more than once; drawing resumes with the
    // next report.
    void finish();

    long long bytes() const;
    double seconds() const;
    // "B bytes in S s (R MiB/s)".
    std::string figures() const;
    // "N files, B bytes in S s (R MiB/s)".
    std::string summary(long long files) const;

private:
    bool complete() const;
    void draw(bool force);
    void erase();

    // Transfers of a tree command report from several threads at once.
    mutable std::mutex m_mutex;
    long long m_total;
    long long m_done;
    long long m_filesTotal = 0;
    long long m_filesDone = 0;
    bool m_showBar;
    bool m_drawn;
    bool m_markedDone = false;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
};

// A phase without bytes to count (listing, checking, scanning): "| listing  1,234 files" turning
// on the user stream while the count grows, erased when the phase ends.
class PhaseSpinner {
public:
    // `what` names the phase ("listing"), `unit` the things counted ("files").
    PhaseSpinner(const std::string &what, const std::string &unit, bool show);
    ~PhaseSpinner();
    PhaseSpinner(const PhaseSpinner &) = delete;
    PhaseSpinner &operator=(const PhaseSpinner &) = delete;

    // Adds to the count; safe across threads.
    void add(long long count = 1);
    long long count() const;
    // Erases the spinner; later output starts on a clean line.
    void finish();

private:
    void draw();

    mutable std::mutex m_mutex;
    std::string m_what;
    std::string m_unit;
    bool m_show;
    bool m_drawn = false;
    long long m_count = 0;
    unsigned m_turn = 0;
    std::chrono::steady_clock::time_point m_lastDraw;
};

// "1,234,567": a count as a person reads it.
std::string groupedCount(long long count);

} // namespace vorncli

#endif
