// A batch's report as a page to look at and listen through: one HTML file
// that holds everything it shows, a row per song, those that need a look
// first.
#pragma once

#include "render/Request.h"
#include "render/Result.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace render {

class ReportPage {
public:
    /// The page at `path`, of a batch of `expected` songs (0: not known).
    explicit ReportPage(std::string path, std::size_t expected = 0);

    /// Adds a line of the report; false when it is not one (it is left out).
    bool add(const std::string &line);
    /// The page, whole.
    std::string html() const;
    /// Writes the page in place of the one there, all at once: a reader
    /// sees the old page or the new one; `sync`: on the disk before it
    /// replaces it. Empty, or why it could not be.
    std::string write(bool sync = true);
    /// write(), when a row came since it was last written, unless that was
    /// a moment ago (`now` writes it anyway): writing it takes at most a
    /// hundredth of the batch's time. Called again, it writes what waited.
    std::string update(bool now);

private:
    // A row as the page's script reads it (JSON), and how it ranks: failed,
    // marked, fine, or a file a crash left.
    struct Row {
        int rank;
        std::string data;
    };
    std::string path_;
    std::size_t expected_;
    std::filesystem::path here_, folder_; // where it runs, and the page's folder
    std::vector<Row> rows_;
    std::size_t counts_[4] = {};
    bool gain_ = false, live_ = false, stems_ = false; // columns some row fills
    bool changed_ = true;                              // since it was written
    std::chrono::steady_clock::time_point next_{};
};

/// --from-report: the page of reports already written. The exit status.
int runReportPage(const Request &request);

} // namespace render
