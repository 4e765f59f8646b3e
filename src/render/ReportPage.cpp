// The report page: the report's lines as an HTML table. Each recording's
// overview travels in the page as text (two base-64 digits a peak, one a
// loudness) and a short script draws it into a canvas when its row comes
// into view, so that a page of ten thousand songs opens at once.
#include "render/ReportPage.h"

#include "platform/FileWrite.h"
#include "render/Json.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace render {
namespace {

constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// What a row is marked with, in the order the marks are shown.
struct Look {
    bool failed = false;
    std::vector<std::string> marks;
};

Look lookAt(const ReportLine &row) {
    Look look;
    const Result &r = row.result;
    if (!row.kind.empty()) {
        look.marks.push_back(row.kind == "leftover" ? "left over" : "interrupted");
        return look;
    }
    if (r.status == Result::Status::Failed) {
        look.failed = true;
        look.marks.push_back("failed");
        return look;
    }
    if (r.status != Result::Status::Ok)
        return look;
    if (r.levels.clipped > 0)
        look.marks.push_back("clipped");
    if (r.measured && (r.levels.silent() || r.levels.loudness < -30))
        look.marks.push_back(r.levels.silent() ? "silent" : "quiet");
    for (const Result::Stem &stem : r.stems)
        if (stem.measured && stem.levels.silent()) {
            look.marks.push_back("silent stem");
            break;
        }
    if (r.live.used && r.live.floorDb > -50)
        look.marks.push_back("noisy input");
    if (r.live.used && r.live.ringOutTimedOut)
        look.marks.push_back("ring-out timed out");
    return look;
}

// Text as HTML: escaped, and each byte that is not UTF-8 shown as U+FFFD.
std::string html(const std::string &text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = utf8Length(text, at);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        const char c = text[at];
        if (n > 1)
            out.append(text, at, n);
        else if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t')
            out += ' ';
        else
            out += c;
        at += n;
    }
    return out;
}

// `path` relative to the page's folder, as a URL: every byte kept exactly.
std::string linkTo(const std::string &path, const std::string &page) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path folder = fs::absolute(fs::path(page), error).parent_path().lexically_normal();
    const fs::path target = fs::absolute(fs::path(path), error).lexically_normal();
    std::string relative = target.lexically_relative(folder).string();
    if (relative.empty())
        relative = target.string();
    std::string url;
    for (const char c : relative) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (std::isalnum(b) || std::strchr("-._~/", c))
            url += c;
        else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", b);
            url += escape;
        }
    }
    return url;
}

std::string fileName(const std::string &path) {
    return path.substr(path.rfind('/') + 1);
}

// Formats a browser plays.
bool playable(const std::string &path) {
    const std::string name = fileName(path);
    const auto dot = name.rfind('.');
    std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
    for (char &c : extension)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension == "wav" || extension == "flac" || extension == "ogg" || extension == "opus" ||
           extension == "mp3";
}

std::string number(double value, const char *format) {
    char text[40];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A level with one decimal, or a dash where there is none.
std::string level(double db, bool measured) {
    return measured && audio::isLevel(db) ? number(db, "%.1f") : "&ndash;";
}

// The overview as the page's script reads it.
std::string peaksText(const audio::Overview &overview) {
    std::string text;
    for (const std::int16_t peak : overview.peaks) {
        const int v = std::clamp<int>(peak, 0, 4095);
        text += kDigits[v / 64];
        text += kDigits[v % 64];
    }
    return text;
}

std::string loudnessText(const audio::Overview &overview) {
    std::string text;
    for (const std::int16_t lufs : overview.loudness)
        text += kDigits[lufs == audio::Overview::kQuiet ? 0 : std::clamp<int>(lufs + 63, 0, 63)];
    return text;
}

std::string thumbnail(const audio::Levels &levels, const char *kind) {
    if (levels.overview.peaks.empty())
        return {};
    std::string canvas =
        std::string("<canvas class=\"") + kind + "\" data-p=\"" + peaksText(levels.overview) + "\"";
    if (std::strcmp(kind, "wave") == 0)
        canvas += " data-l=\"" + loudnessText(levels.overview) + "\" width=\"200\" height=\"64\"";
    else
        canvas += " width=\"100\" height=\"24\"";
    return canvas + "></canvas>";
}

// The playing of a file: a button, and a click on its thumbnail.
std::string player(const std::string &output, const std::string &page, const std::string &inner) {
    if (!playable(output))
        return inner;
    return "<div class=\"play\" data-src=\"" + html(linkTo(output, page)) + "\" title=\"" +
           html(fileName(output)) + "\"><button>&#9654;</button>" + inner + "</div>";
}

struct Columns {
    bool gain = false, live = false, stems = false;
};

std::string row(const ReportLine &line, const Look &look, const Columns &columns,
                const std::string &page) {
    const Result &r = line.result;
    const bool ok = r.status == Result::Status::Ok;
    std::string out = std::string("<tr") +
                      (look.failed          ? " class=\"failed\""
                       : look.marks.empty() ? ""
                                            : " class=\"look\"") +
                      "><td class=\"marks\">";
    for (const std::string &mark : look.marks)
        out += "<span>" + mark + "</span>";
    const std::string song = line.input.empty() ? line.output : line.input;
    out += "</td><td class=\"song\"><b>" + html(fileName(song)) + "</b>";
    if (!line.output.empty() && (ok || !line.kind.empty()))
        out += "<a href=\"" + html(linkTo(line.output, page)) + "\">" +
               html(fileName(line.output)) + "</a>";
    if (!line.kind.empty())
        out += "<i>" + html(line.action) + "</i>";
    else if (r.status == Result::Status::Skipped)
        out += "<i>left out: its output is there</i>";
    if (!r.error.empty())
        out += "<i class=\"error\">" + html(r.error) + "</i>";
    out += "</td><td>" + (ok ? player(line.output, page, thumbnail(r.levels, "wave")) : "");
    out += "</td><td class=\"n\">" + (ok || r.seconds > 0 ? number(r.seconds, "%.1f s") : "");
    out += "</td><td class=\"n\">" + level(r.levels.peakDb, r.measured);
    out += "</td><td class=\"n\">" + level(r.levels.truePeakDb, r.measured);
    out += "</td><td class=\"n\">" + level(r.levels.loudness, r.measured);
    out += "</td><td class=\"n\">" + (r.measured ? std::to_string(r.levels.clipped) : "");
    if (columns.gain)
        out += "</td><td class=\"n\">" + (r.measured ? number(r.gainDb, "%+.1f") : "");
    if (columns.live) {
        out += "</td><td class=\"live\">";
        if (r.live.used)
            out += "latency " + std::to_string(r.live.latency) + " frames<br>floor " +
                   level(r.live.floorDb, true) + " dBFS<br>input peak " +
                   level(r.live.inputPeakDb, true) + " dBFS (" +
                   std::to_string(r.live.inputClipped) + " clipped)<br>drift " +
                   number(r.live.driftPpm, "%.1f") + " ppm" +
                   (r.live.ringOutTimedOut ? "<br><b>ring-out timed out</b>" : "");
    }
    if (columns.stems) {
        out += "</td><td class=\"stems\">";
        for (const Result::Stem &stem : r.stems) {
            const std::string name = fileName(stem.output);
            const auto dot = name.rfind('.');
            out += "<figure>" + player(stem.output, page, thumbnail(stem.levels, "stem")) +
                   "<figcaption>" + html(name.substr(0, dot)) +
                   (stem.measured && stem.levels.silent() ? " (silent)" : "") +
                   "</figcaption></figure>";
        }
    }
    return out + "</td></tr>\n";
}

constexpr const char *kStyle = R"(
body{font:13px/1.35 system-ui,sans-serif;margin:0;color:#1b1f24;background:#fff}
header{position:sticky;top:0;z-index:1;background:#f6f8fa;border-bottom:1px solid #d0d7de;
 padding:8px 16px;display:flex;gap:16px;align-items:center;flex-wrap:wrap}
h1{font-size:16px;margin:0}
header audio{height:32px}
#playing{color:#57606a}
table{border-collapse:collapse;margin:8px 16px}
th{text-align:left;font-weight:600;color:#57606a;padding:4px 8px;border-bottom:1px solid #d0d7de}
td{padding:6px 8px;border-bottom:1px solid #eaeef2;vertical-align:top}
tr.failed td:first-child{border-left:4px solid #cf222e}
tr.look td:first-child{border-left:4px solid #d4a72c}
.marks span{display:inline-block;margin:0 4px 4px 0;padding:0 6px;border-radius:8px;
 background:#fff8c5;color:#7d4e00;white-space:nowrap}
tr.failed .marks span{background:#ffebe9;color:#a40e26}
.song b,.song a,.song i{display:block;max-width:28em;overflow-wrap:anywhere}
.song a{color:#0969da;text-decoration:none}
.song i{color:#57606a}
.song i.error{color:#a40e26;font-style:normal}
.n{text-align:right;white-space:nowrap;font-variant-numeric:tabular-nums}
.live{white-space:nowrap;color:#57606a}
.play{display:flex;gap:4px;align-items:flex-start}
.play button{border:1px solid #d0d7de;background:#f6f8fa;border-radius:4px;cursor:pointer;
 width:24px;height:24px;padding:0;font-size:11px}
.play.now button{background:#0969da;color:#fff}
canvas{border:1px solid #c9d2dd;background:#fbfcfd;cursor:pointer;display:block}
.stems{max-width:560px}
figure{display:inline-block;margin:0 8px 6px 0}
figcaption{font-size:11px;color:#57606a;max-width:130px;overflow:hidden;text-overflow:ellipsis;
 white-space:nowrap}
tbody tr{content-visibility:auto;contain-intrinsic-size:auto 80px}
)";

// Draws each thumbnail as it comes into view; plays a file from where its
// thumbnail is clicked, in the one player at the top.
constexpr const char *kScript = R"(
const digits='ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';
function draw(c){
  const g=c.getContext('2d'),p=c.dataset.p,n=p.length/2,wave=c.dataset.l!==undefined;
  const h=wave?48:c.height,step=Math.max(1,Math.ceil(n/c.width));
  g.fillStyle='#1f6feb';
  for(let x=0;x*step<n;x++){
    let v=0;
    for(let i=x*step;i<Math.min(n,(x+1)*step);i++)
      v=Math.max(v,digits.indexOf(p[2*i])*64+digits.indexOf(p[2*i+1]));
    const b=Math.round(v*h/1000);
    g.fillRect(x,(h-b)>>1,1,b);
  }
  if(!wave)return;
  const l=c.dataset.l,top=h+2,tall=c.height-top-2;
  const y=v=>top+tall-Math.round(v*tall/63);
  g.fillStyle='#eaeef2';g.fillRect(0,y(33),l.length,1);
  g.strokeStyle='#bf3989';g.lineWidth=1;g.beginPath();
  for(let x=0;x<l.length;x++)g.lineTo(x+0.5,y(digits.indexOf(l[x]))+0.5);
  g.stroke();
}
const seen=new IntersectionObserver(es=>{for(const e of es)if(e.isIntersecting){
  draw(e.target);seen.unobserve(e.target);}},{rootMargin:'400px'});
document.querySelectorAll('canvas').forEach(c=>seen.observe(c));
const player=document.getElementById('player'),playing=document.getElementById('playing');
let current=null;
function play(box,at){
  if(current)current.classList.remove('now');
  current=box;box.classList.add('now');
  playing.textContent=box.title;
  const start=()=>{if(at>0&&isFinite(player.duration))player.currentTime=at*player.duration;
    player.play();};
  if(player.dataset.src===box.dataset.src){start();return;}
  player.dataset.src=box.dataset.src;player.src=box.dataset.src;
  player.addEventListener('loadedmetadata',start,{once:true});
}
document.addEventListener('click',e=>{
  const box=e.target.closest('.play');
  if(!box)return;
  const c=e.target.closest('canvas');
  play(box,c?(e.clientX-c.getBoundingClientRect().left)/c.clientWidth:0);
});
)";

} // namespace

ReportPage::ReportPage(std::string path, std::size_t expected)
    : path_(std::move(path)), expected_(expected) {}

bool ReportPage::add(const std::string &line) {
    ReportLine read;
    if (!readReportLine(line, read))
        return false;
    rows_.push_back(std::move(read));
    return true;
}

std::string ReportPage::html() const {
    // Failed songs first, then those marked, each in the report's order.
    std::vector<Look> looks;
    std::vector<std::size_t> order(rows_.size());
    Columns columns;
    std::size_t songs = 0, failed = 0, marked = 0;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        looks.push_back(lookAt(rows_[i]));
        order[i] = i;
        const Result &r = rows_[i].result;
        if (rows_[i].kind.empty()) {
            ++songs;
            failed += looks[i].failed;
            marked += !looks[i].failed && !looks[i].marks.empty();
        }
        columns.gain = columns.gain || (r.measured && r.gainDb != 0);
        columns.live = columns.live || r.live.used;
        columns.stems = columns.stems || !r.stems.empty();
    }
    const auto rank = [&](std::size_t i) {
        return looks[i].failed ? 0 : looks[i].marks.empty() ? 2 : 1;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return rank(a) < rank(b); });

    std::string summary = std::to_string(songs) + (songs == 1 ? " song" : " songs");
    if (expected_ > songs)
        summary += " of " + std::to_string(expected_) + " so far";
    summary += ": " + std::to_string(failed) + " failed, " + std::to_string(marked) +
               " to look at, " + std::to_string(songs - failed - marked) + " fine";
    if (rows_.size() > songs)
        summary += "; " + std::to_string(rows_.size() - songs) + " left by an earlier run";
    char when[40] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);

    std::string out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                      "<meta name=\"viewport\" content=\"width=device-width\">\n"
                      "<title>kestrune-render: " +
                      summary + "</title>\n<style>" + kStyle + "</style></head><body>\n";
    out += "<header><h1>kestrune-render</h1><span>" + summary + " &middot; " + when +
           "</span><audio id=\"player\" controls preload=\"none\"></audio>"
           "<span id=\"playing\"></span></header>\n";
    out += "<table><thead><tr><th></th><th>Song</th><th>Recording</th><th>Length</th>"
           "<th>Peak dBFS</th><th>True peak dBTP</th><th>Loudness LUFS</th><th>Clipped</th>";
    if (columns.gain)
        out += "<th>Gain dB</th>";
    if (columns.live)
        out += "<th>Live</th>";
    if (columns.stems)
        out += "<th>Stems</th>";
    out += "</tr></thead><tbody>\n";
    for (const std::size_t i : order)
        out += row(rows_[i], looks[i], columns, path_);
    return out + "</tbody></table>\n<script>" + kScript + "</script></body></html>\n";
}

std::string ReportPage::write() {
    const std::string page = html();
    std::string temp;
    const int fd = platform::makeTemporaryBeside(path_, temp, ".html");
    if (fd < 0)
        return std::strerror(errno);
    if (!platform::writeAll(fd, page.data(), page.size())) {
        const int failure = errno;
        ::unlink(temp.c_str());
        ::close(fd);
        return std::strerror(failure);
    }
    if (!platform::placeTemporary(fd, temp, path_))
        return std::strerror(errno);
    return {};
}

std::string ReportPage::update(bool now) {
    const auto start = std::chrono::steady_clock::now();
    if (!now && start < next_)
        return {};
    std::string error = write();
    // The next writing waits a hundred times as long as this one took.
    const auto took = std::chrono::steady_clock::now() - start;
    next_ =
        start + std::max<std::chrono::steady_clock::duration>(std::chrono::seconds(1), took * 100);
    return error;
}

int runReportPage(const Request &request) {
    ReportPage page(request.reportPage);
    for (const std::string &report : request.fromReports) {
        std::ifstream in(report);
        if (!in) {
            std::fprintf(stderr, "kestrune-render: the report %s cannot be read: %s\n",
                         report.c_str(), std::strerror(errno));
            return 1;
        }
        std::size_t number = 0, skipped = 0;
        for (std::string line; std::getline(in, line);) {
            ++number;
            if (line.find_first_not_of(" \t\r") == std::string::npos)
                continue;
            if (!page.add(line) && ++skipped <= 3)
                std::fprintf(stderr, "kestrune-render: %s, line %zu: not a report line; left out\n",
                             report.c_str(), number);
        }
        if (in.bad()) {
            std::fprintf(stderr, "kestrune-render: the report %s cannot be read: %s\n",
                         report.c_str(), std::strerror(errno));
            return 1;
        }
        if (skipped > 3)
            std::fprintf(stderr, "kestrune-render: %s: %zu lines in all were left out\n",
                         report.c_str(), skipped);
    }
    if (const std::string error = page.write(); !error.empty()) {
        std::fprintf(stderr, "kestrune-render: the report page %s cannot be written: %s\n",
                     request.reportPage.c_str(), error.c_str());
        return 1;
    }
    return 0;
}

} // namespace render
