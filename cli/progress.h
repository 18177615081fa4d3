// Transfer progress: a bar on the user stream while bytes move, and the figures for a summary line.
#ifndef VORN_CLI_PROGRESS_H
#define VORN_CLI_PROGRESS_H

#include <chrono>
#include <mutex>
#include <string>

#include <boost/function.hpp>

namespace vorncli {

// "512 B", "1.5 MiB": a size as a person reads it.
std::string humanSize(double bytes);

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
    // Clears the bar (if shown) before other output follows.
    void finish();

    long long bytes() const;
    double seconds() const;
    // "N files, B bytes in S s (R MB/s)".
    std::string summary(long long files) const;

private:
    void draw();

    // Transfers of a tree command report from several threads at once.
    std::mutex m_mutex;
    long long m_total;
    long long m_done;
    long long m_filesTotal = 0;
    long long m_filesDone = 0;
    bool m_showBar;
    bool m_drawn;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
};

} // namespace vorncli

#endif
