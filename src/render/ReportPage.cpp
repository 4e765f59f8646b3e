// The report page: the report's lines as rows of data in one HTML file, and
// a short script that makes a table of them. Each recording's overview
// travels as text (two base-64 digits a peak, one a loudness) and is drawn
// into a canvas. The script makes the rows a hundred at a time, more as the
// reader scrolls to them, so that a page of ten thousand songs opens at once.
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

enum Rank { kFailed, kMarked, kFine, kLeft };

// What a row is marked with, in the order the marks are shown.
std::vector<std::string> marksOf(const ReportLine &row) {
    const Result &r = row.result;
    if (!row.kind.empty())
        return {row.kind == "leftover" ? "left over" : "interrupted"};
    if (r.status == Result::Status::Failed)
        return {"failed"};
    std::vector<std::string> marks;
    if (r.status != Result::Status::Ok)
        return marks;
    if (r.levels.clipped > 0)
        marks.push_back("clipped");
    if (r.measured && (r.levels.silent() || r.levels.loudness < -30))
        marks.push_back(r.levels.silent() ? "silent" : "quiet");
    if (std::any_of(r.stems.begin(), r.stems.end(),
                    [](const Result::Stem &stem) { return stem.measured && stem.levels.silent(); }))
        marks.push_back("silent stem");
    if (r.live.used && r.live.floorDb > -50)
        marks.push_back("noisy input");
    if (r.live.used && r.live.ringOutTimedOut)
        marks.push_back("ring-out timed out");
    return marks;
}

// `path` relative to `folder` (absolute, as is `here`, the folder the
// paths are taken from), as a URL: every byte kept exactly.
std::string linkTo(const std::string &path, const std::filesystem::path &folder,
                   const std::filesystem::path &here) {
    const std::filesystem::path target = (here / path).lexically_normal();
    std::string relative = target.lexically_relative(folder).string();
    if (relative.empty())
        relative = target.string();
    std::string url;
    for (const char c : relative) {
        if (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-._~/", c)) {
            url += c;
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
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

// A number to a tenth, or null.
std::string tenths(double value, bool shown) {
    if (!shown || !std::isfinite(value))
        return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string level(double db, bool measured) {
    return tenths(db, measured && audio::isLevel(db));
}

// The overview's peaks, `merged` columns to a digit pair (the loudest), and
// its loudness a digit a column.
std::string peaksText(const audio::Overview &overview, std::size_t merged) {
    std::string text;
    for (std::size_t i = 0; i < overview.peaks.size(); i += merged) {
        int v = 0;
        for (std::size_t j = i; j < std::min(i + merged, overview.peaks.size()); ++j)
            v = std::max<int>(v, overview.peaks[j]);
        v = std::clamp(v, 0, 4095);
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

// Where the page lies, and the folder the report's paths are taken from.
struct Place {
    std::filesystem::path folder, here;
};

// A file the page links to: its name, its link, and whether it plays.
std::string fileMembers(const std::string &path, const Place &place) {
    return "\"o\":" + jsonText(fileName(path)) +
           ",\"h\":" + jsonText(linkTo(path, place.folder, place.here)) +
           (playable(path) ? ",\"a\":1" : "");
}

// The row's data: names and texts as JSON strings, levels to a tenth.
std::string rowData(const ReportLine &line, const std::vector<std::string> &marks,
                    const Place &page) {
    const Result &r = line.result;
    const bool ok = r.status == Result::Status::Ok;
    std::string data =
        "{\"n\":" + jsonText(fileName(line.input.empty() ? line.output : line.input));
    if (line.kind.empty() && r.status == Result::Status::Failed)
        data += ",\"f\":1";
    if (!marks.empty()) {
        data += ",\"m\":[";
        for (std::size_t i = 0; i < marks.size(); ++i)
            data += (i ? "," : "") + jsonText(marks[i]);
        data += "]";
    }
    if (!line.output.empty() && (ok || line.action == "kept"))
        data += "," + fileMembers(line.output, page);
    if (!r.error.empty())
        data += ",\"e\":" + jsonText(r.error);
    if (!line.kind.empty())
        data += ",\"i\":" + jsonText(line.action);
    else if (r.status == Result::Status::Skipped)
        data += ",\"i\":\"left out: its output is there\"";
    if (ok || r.seconds > 0)
        data += ",\"t\":" + tenths(r.seconds, true);
    if (r.measured)
        data += ",\"l\":[" + level(r.levels.peakDb, true) + "," + level(r.levels.truePeakDb, true) +
                "," + level(r.levels.loudness, true) + "," + std::to_string(r.levels.clipped) +
                "," + tenths(r.gainDb, true) + "]";
    if (ok && !r.levels.overview.peaks.empty())
        data += ",\"w\":\"" + peaksText(r.levels.overview, 1) + "\",\"u\":\"" +
                loudnessText(r.levels.overview) + "\"";
    if (r.live.used)
        data += ",\"v\":[" + std::to_string(r.live.latency) + "," + level(r.live.floorDb, true) +
                "," + level(r.live.inputPeakDb, true) + "," + std::to_string(r.live.inputClipped) +
                "," + tenths(r.live.driftPpm, true) + "," + (r.live.ringOutTimedOut ? "1" : "0") +
                "]";
    if (!r.stems.empty()) {
        data += ",\"x\":[";
        for (std::size_t i = 0; i < r.stems.size(); ++i) {
            const Result::Stem &stem = r.stems[i];
            // A stem's thumbnail is half as wide as the song's.
            data += std::string(i ? "," : "") + "{" + fileMembers(stem.output, page);
            if (stem.measured && !stem.levels.overview.peaks.empty())
                data += ",\"w\":\"" + peaksText(stem.levels.overview, 2) + "\"";
            if (stem.measured && stem.levels.silent())
                data += ",\"s\":1";
            data += "}";
        }
        data += "]";
    }
    data += "}";
    // Inside the page's script element: no '<' that could end it.
    std::string safe;
    safe.reserve(data.size());
    for (const char c : data)
        safe += c == '<' ? std::string("\\u003c") : std::string(1, c);
    safe.shrink_to_fit();
    return safe;
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
canvas{border:1px solid #c9d2dd;background:#fbfcfd;display:block}
.play canvas{cursor:pointer}
.stems{max-width:560px}
figure{display:inline-block;margin:0 8px 6px 0}
figcaption{font-size:11px;color:#57606a;max-width:130px;overflow:hidden;text-overflow:ellipsis;
 white-space:nowrap}
#more{height:1px}
)";

// Makes the rows from the data, a hundred at a time as they are scrolled
// to; plays a file from where its thumbnail is clicked, in the one player
// at the top.
constexpr const char *kScript = R"(
const digits='ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';
const value=(t,i)=>digits.indexOf(t[i]);
const rows=JSON.parse(document.getElementById('rows').textContent);
const columns=JSON.parse(document.getElementById('columns').textContent);
const body=document.querySelector('tbody');
function el(tag,cls,text){
  const e=document.createElement(tag);
  if(cls)e.className=cls;
  if(text!==undefined)e.textContent=text;
  return e;
}
function thumbnail(peaks,loudness,width){
  const c=el('canvas');
  c.width=width;c.height=loudness?72:24;
  const g=c.getContext('2d'),h=loudness?48:24;
  g.fillStyle='#1f6feb';
  for(let x=0;2*x<peaks.length;x++){
    const b=Math.round((value(peaks,2*x)*64+value(peaks,2*x+1))*h/1000);
    g.fillRect(x,(h-b)>>1,1,b);
  }
  if(loudness){
    const top=h+2,tall=c.height-top-2,y=v=>top+tall-Math.round(v*tall/63);
    g.fillStyle='#eaeef2';g.fillRect(0,y(33),loudness.length,1);
    g.strokeStyle='#bf3989';g.lineWidth=1;g.beginPath();
    for(let x=0;x<loudness.length;x++)g.lineTo(x+0.5,y(value(loudness,x))+0.5);
    g.stroke();
  }
  return c;
}
function player(file,inner){
  if(!file.a)return inner||el('span');
  const box=el('div','play');
  box.dataset.src=file.h;box.title=file.o;
  box.append(el('button','','\u25b6'));
  if(inner)box.append(inner);
  return box;
}
function cell(tr,cls,text){return tr.appendChild(el('td',cls,text));}
const fixed=(v,unit)=>v===null||v===undefined?'\u2013':v.toFixed(1)+(unit||'');
function row(r){
  const tr=el('tr',r.f?'failed':r.m?'look':'');
  const marks=cell(tr,'marks');
  for(const m of r.m||[])marks.append(el('span','',m));
  const song=cell(tr,'song');
  song.append(el('b','',r.n));
  if(r.h){const a=el('a','',r.o);a.href=r.h;song.append(a);}
  if(r.i)song.append(el('i','',r.i));
  if(r.e)song.append(el('i','error',r.e));
  cell(tr).append(r.w?player(r,thumbnail(r.w,r.u,200)):el('span'));
  cell(tr,'n',r.t===undefined?'':fixed(r.t,' s'));
  const l=r.l||[null,null,null,null,null];
  for(let i=0;i<3;i++)cell(tr,'n',fixed(l[i]));
  cell(tr,'n',l[3]===null?'':String(l[3]));
  if(columns.gain)cell(tr,'n',r.l?(l[4]>0?'+':'')+fixed(l[4]):'');
  if(columns.live){
    const live=cell(tr,'live');
    if(r.v){
      const v=r.v;
      live.innerText='latency '+v[0]+' frames\nfloor '+fixed(v[1])+' dBFS\ninput peak '+
        fixed(v[2])+' dBFS ('+v[3]+' clipped)\ndrift '+fixed(v[4])+' ppm'+
        (v[5]?'\nring-out timed out':'');
    }
  }
  if(columns.stems){
    const stems=cell(tr,'stems');
    for(const s of r.x||[]){
      const f=el('figure');
      f.append(player(s,s.w?thumbnail(s.w,null,100):null));
      f.append(el('figcaption','',s.o.replace(/\.[^.]*$/,'')+(s.s?' (silent)':'')));
      stems.append(f);
    }
  }
  return tr;
}
let shown=0;
function more(){
  const end=Math.min(rows.length,shown+100);
  for(;shown<end;shown++)body.append(row(rows[shown]));
}
more();
new IntersectionObserver(es=>{if(es[0].isIntersecting)more();},{rootMargin:'1200px'})
  .observe(document.getElementById('more'));
const audio=document.getElementById('player'),playing=document.getElementById('playing');
let current=null;
function play(box,at){
  if(current)current.classList.remove('now');
  current=box;box.classList.add('now');
  playing.textContent=box.title;
  const start=()=>{if(at>0&&isFinite(audio.duration))audio.currentTime=at*audio.duration;
    audio.play();};
  if(audio.dataset.src===box.dataset.src){start();return;}
  audio.dataset.src=box.dataset.src;audio.src=box.dataset.src;
  audio.addEventListener('loadedmetadata',start,{once:true});
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
    : path_(std::move(path)), expected_(expected) {
    // The report's paths are taken from the folder the program runs in.
    std::error_code error;
    here_ = std::filesystem::current_path(error);
    folder_ = (here_ / path_).parent_path().lexically_normal();
}

bool ReportPage::add(const std::string &line) {
    ReportLine read;
    if (!readReportLine(line, read))
        return false;
    const std::vector<std::string> marks = marksOf(read);
    const Result &r = read.result;
    const int rank = !read.kind.empty()                   ? kLeft
                     : r.status == Result::Status::Failed ? kFailed
                     : marks.empty()                      ? kFine
                                                          : kMarked;
    rows_.push_back(Row{rank, rowData(read, marks, Place{folder_, here_})});
    changed_ = true;
    ++counts_[rank];
    gain_ = gain_ || (r.measured && r.gainDb != 0);
    live_ = live_ || r.live.used;
    stems_ = stems_ || !r.stems.empty();
    return true;
}

std::string ReportPage::html() const {
    const std::size_t songs = counts_[kFailed] + counts_[kMarked] + counts_[kFine];
    std::string summary = std::to_string(songs) + (songs == 1 ? " song" : " songs");
    if (expected_ > songs)
        summary += " of " + std::to_string(expected_) + " so far";
    summary += ": " + std::to_string(counts_[kFailed]) + " failed, " +
               std::to_string(counts_[kMarked]) + " to look at, " + std::to_string(counts_[kFine]) +
               " fine";
    if (counts_[kLeft] > 0)
        summary += "; " + std::to_string(counts_[kLeft]) + " left by an earlier run";
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
           "<span id=\"playing\"></span></header>\n"
           "<noscript>The rows of this page are made by its script.</noscript>\n";
    out += "<table><thead><tr><th></th><th>Song</th><th>Waveform, loudness</th><th>Length</th>"
           "<th>Peak dBFS</th><th>True peak dBTP</th><th>Loudness LUFS</th><th>Clipped</th>";
    if (gain_)
        out += "<th>Gain dB</th>";
    if (live_)
        out += "<th>Live</th>";
    if (stems_)
        out += "<th>Stems</th>";
    out += "</tr></thead><tbody></tbody></table><div id=\"more\"></div>\n";
    out += std::string("<script id=\"columns\" type=\"application/json\">{\"gain\":") +
           (gain_ ? "true" : "false") + ",\"live\":" + (live_ ? "true" : "false") +
           ",\"stems\":" + (stems_ ? "true" : "false") + "}</script>\n";
    // Failed songs first, then those marked, then the rest, then what a
    // crash left; each in the report's order.
    std::size_t size = out.size() + 2 * std::strlen(kScript);
    for (const Row &row : rows_)
        size += row.data.size() + 2;
    out.reserve(size);
    out += "<script id=\"rows\" type=\"application/json\">[";
    bool first = true;
    for (int rank = kFailed; rank <= kLeft; ++rank)
        for (const Row &row : rows_)
            if (row.rank == rank) {
                out += first ? "\n" : ",\n";
                out += row.data;
                first = false;
            }
    return out + "]</script>\n<script>" + kScript + "</script></body></html>\n";
}

std::string ReportPage::write(bool sync) {
    const std::string page = html();
    std::string temp;
    // A page's temporary file that a kill leaves is a leftover like any other.
    const int fd = platform::makeTemporaryBeside(path_, temp);
    if (fd < 0)
        return std::strerror(errno);
    if (!platform::writeAll(fd, page.data(), page.size())) {
        const int failure = errno;
        ::unlink(temp.c_str());
        ::close(fd);
        return std::strerror(failure);
    }
    if (sync) {
        if (!platform::placeTemporary(fd, temp, path_))
            return std::strerror(errno);
        return {};
    }
    // Renamed while it is still open (and so locked): never a leftover.
    const bool placed = ::rename(temp.c_str(), path_.c_str()) == 0;
    const int failure = errno;
    if (!placed)
        ::unlink(temp.c_str());
    ::close(fd);
    return placed ? std::string() : std::strerror(failure);
}

std::string ReportPage::update(bool now) {
    const auto start = std::chrono::steady_clock::now();
    if (!now && (!changed_ || start < next_))
        return {};
    // The page is a view of the report, which holds every line: only the
    // first and the last page of a batch wait for the disk.
    std::string error = write(now);
    changed_ = !error.empty(); // tried again
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
