#include "service/page.h"

#include <cstdio>
#include <ctime>

#include "service/util.h"

namespace chunkup::service {

namespace {

std::string HumanSize(int64_t bytes) {
  static const char* kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  double v = double(bytes);
  int unit = 0;
  while (v >= 1024 && unit < 4) v /= 1024, ++unit;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, v < 10 ? "%.2f %s" : v < 100 ? "%.1f %s" : "%.0f %s", v, kUnits[unit]);
  return buffer;
}

bool IsWebUrl(const std::string& url) { return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0; }

const char* kStyle = R"(
  :root { color-scheme: light; }
  body { margin: 0; font: 16px/1.5 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif;
         background: #f3f5f8; color: #1d2430; }
  header { background: #1f3b63; color: #fff; padding: 14px 24px; font-weight: 600; letter-spacing: .02em; }
  main { max-width: 640px; margin: 40px auto; padding: 0 16px; }
  .card { background: #fff; border-radius: 10px; box-shadow: 0 1px 4px rgba(0,0,0,.12); padding: 24px 28px; }
  h1 { font-size: 1.35em; margin: 0 0 4px; word-break: break-all; }
  .meta { color: #5b6678; margin-bottom: 18px; }
  .bar { height: 18px; background: #e3e8ef; border-radius: 9px; overflow: hidden; }
  .fill { height: 100%; background: #2f7de1; width: 0; transition: width .4s ease; }
  .done .fill { background: #2e9e5b; }
  .failed .fill { background: #c94040; }
  .row { display: flex; justify-content: space-between; margin-top: 8px; color: #3a4557; }
  .percent { font-weight: 600; }
  .state { margin-top: 18px; font-weight: 600; }
  .failed .state { color: #b02f2f; }
  .done .state { color: #237a46; }
  .result { margin-top: 10px; word-break: break-all; }
  .result a { color: #1f5fbf; }
  .unknown h1 { color: #5b6678; }
  main.wide { max-width: 960px; }
  table { width: 100%; border-collapse: collapse; }
  th, td { text-align: left; padding: 6px 8px; border-bottom: 1px solid #e3e8ef; vertical-align: top; }
  th { color: #5b6678; font-weight: 600; }
  td.size, th.size { text-align: right; white-space: nowrap; }
  td.name { word-break: break-all; }
  td.name a { color: #1f5fbf; }
  .pages a { color: #1f5fbf; margin-right: 16px; }
  footer { text-align: center; color: #8a94a6; font-size: .85em; margin-top: 18px; }
)";

// The page script mirrors StateOf: it polls the status document and redraws.
const char* kScript = R"(
(function () {
  var uuid = document.body.getAttribute('data-uuid');
  if (!uuid) return;
  function human(n) {
    var units = ['KiB', 'MiB', 'GiB', 'TiB'];
    if (n < 1024) return n + (n === 1 ? ' byte' : ' bytes');
    var v = n, u = -1;
    while (v >= 1024 && u < 3) { v /= 1024; u++; }
    return (v < 10 ? v.toFixed(2) : v < 100 ? v.toFixed(1) : v.toFixed(0)) + ' ' + units[u];
  }
  function num(s) { var n = Number(s); return isFinite(n) ? n : 0; }
  function state(reports) {
    var s = { kind: 'unknown', name: '', size: 0, uploaded: 0, speed: 0, percent: 0, url: '' };
    if (!reports.length) return s;
    var last = reports[reports.length - 1];
    s.name = last.name; s.size = num(last.filesize); s.uploaded = num(last.uploaded); s.speed = num(last.speed);
    reports.forEach(function (r) { if (r.url) s.url = r.url; });
    if (s.size > 0) s.percent = Math.max(0, Math.min(100, Math.floor(s.uploaded * 100 / s.size)));
    if (s.url) { s.kind = 'done'; s.percent = 100; }
    else if ((s.size > 0 && s.uploaded >= s.size) || (s.size === 0 && reports.length >= 2)) s.kind = 'failed';
    else s.kind = 'uploading';
    return s;
  }
  var texts = { unknown: 'No report has arrived for this upload yet.', uploading: 'Uploading\u2026',
                done: 'Upload complete.', failed: 'The upload did not finish: no file was stored.' };
  function set(id, text) { var e = document.getElementById(id); if (e) e.textContent = text; }
  function draw(s) {
    document.body.className = s.kind;
    if (s.kind !== 'unknown') {
      set('name', s.name || '(no name)');
      document.title = (s.name || 'Upload') + ' \u2013 chunkup';
      set('size', human(s.size));
      set('percent', s.percent + '%');
      set('speed', s.kind === 'uploading' && s.speed > 0 ? human(s.speed) + '/s' : '');
      document.getElementById('fill').style.width = s.percent + '%';
      document.getElementById('bar').setAttribute('aria-valuenow', String(s.percent));
    }
    set('state', texts[s.kind]);
    var box = document.getElementById('result');
    if (s.url && /^https?:\/\//.test(s.url) && !document.getElementById('result-link')) {
      box.textContent = 'Your file: ';
      var a = document.createElement('a');
      a.id = 'result-link'; a.href = s.url; a.textContent = s.url;
      box.appendChild(a);
    }
  }
  var polls = 0;
  function poll() {
    polls++;
    var xhr = new XMLHttpRequest();
    xhr.open('GET', '/g/status/' + encodeURIComponent(uuid));
    xhr.onload = function () {
      var s = null;
      try { s = state(JSON.parse(xhr.responseText).reports || []); } catch (e) {}
      if (s) draw(s);
      document.body.setAttribute('data-polled', String(polls));
      if (s && (s.kind === 'done' || s.kind === 'failed')) return;
      if (polls < 3600) setTimeout(poll, 1000);
    };
    xhr.onerror = function () { if (polls < 3600) setTimeout(poll, 2000); };
    xhr.send();
  }
  poll();
})();
)";

}  // namespace

PageState StateOf(const std::vector<ReportRecord>& reports) {
  PageState s;
  if (reports.empty()) return s;
  const ReportRecord& last = reports.back();
  s.name = last.name;
  s.fileSize = ParseSignedDecimal(last.filesize).value_or(0);
  s.uploaded = ParseSignedDecimal(last.uploaded).value_or(0);
  s.speed = ParseSignedDecimal(last.speed).value_or(0);
  for (const auto& r : reports)
    if (r.url && !r.url->empty()) s.resultUrl = *r.url;
  if (s.fileSize > 0) {
    // Long double keeps uploaded * 100 from overflowing for huge sizes.
    long double share = (long double)s.uploaded * 100 / (long double)s.fileSize;
    s.percent = share < 0 ? 0 : share > 100 ? 100 : int(share);
  }
  if (!s.resultUrl.empty()) {
    s.kind = PageState::kDone;
    s.percent = 100;
  } else if ((s.fileSize > 0 && s.uploaded >= s.fileSize) || (s.fileSize == 0 && reports.size() >= 2)) {
    // The last report always claims the whole size; without a URL the upload failed.
    s.kind = PageState::kFailed;
  } else {
    s.kind = PageState::kUploading;
  }
  return s;
}

std::string RenderHomePage() {
  return std::string("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                     "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                     "<title>chunkup service</title><style>") +
         kStyle +
         "</style></head><body><header>chunkup</header><main><div class=\"card\"><h1>chunkup service</h1>"
         "<p class=\"meta\">This service stores files uploaded by chunkup. Each upload has its own page under "
         "<code>/g/upload/&lt;id&gt;</code>.</p></div></main></body></html>\n";
}

std::string RenderFileList(const std::vector<FileRecord>& files, const std::vector<std::string>& urls, int64_t total,
                           int64_t offset, int64_t limit) {
  std::string html;
  html += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
  html += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
  html += "<title>Stored files \xE2\x80\x93 chunkup</title><style>" + std::string(kStyle) + "</style></head>";
  html += "<body><header>chunkup</header><main class=\"wide\"><div class=\"card\"><h1>Stored files</h1>";
  html += "<div class=\"meta\" id=\"count\">" + std::to_string(total) + (total == 1 ? " file" : " files");
  if (total > 0 && !files.empty())
    html += ", showing " + std::to_string(offset + 1) + "\xE2\x80\x93" + std::to_string(offset + int64_t(files.size()));
  html += "</div>";
  if (!files.empty()) {
    html += "<table><thead><tr><th>Name</th><th class=\"size\">Size</th><th>Stored (UTC)</th><th>Link id</th></tr>"
            "</thead><tbody>";
    for (size_t i = 0; i < files.size(); ++i) {
      const FileRecord& f = files[i];
      char when[32] = "";
      std::time_t t = std::time_t(f.createdMs / 1000);
      std::tm tm {};
      if (gmtime_r(&t, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
      html += "<tr><td class=\"name\"><a href=\"" + HtmlEscape(i < urls.size() ? urls[i] : "") + "\">" +
              HtmlEscape(f.name.empty() ? "(no name)" : f.name) + "</a></td><td class=\"size\">" +
              HtmlEscape(HumanSize(f.size)) + "</td><td>" + when + "</td><td><code>" + HtmlEscape(f.linkId) +
              "</code></td></tr>";
    }
    html += "</tbody></table>";
  }
  html += "<div class=\"pages\">";
  if (offset > 0)
    html += "<a href=\"?offset=" + std::to_string(offset > limit ? offset - limit : 0) + "&amp;limit=" +
            std::to_string(limit) + "\">Newer</a>";
  if (offset + int64_t(files.size()) < total && limit > 0)
    html += "<a href=\"?offset=" + std::to_string(offset + limit) + "&amp;limit=" + std::to_string(limit) +
            "\">Older</a>";
  html += "</div></div><footer>Also as JSON: <code>?format=json</code></footer></main></body></html>\n";
  return html;
}

std::string RenderUploadPage(const std::string& uuid, const std::vector<ReportRecord>& reports, bool validId) {
  PageState s = StateOf(reports);
  static const char* kKinds[] = {"unknown", "uploading", "done", "failed"};
  std::string kind = kKinds[s.kind];
  std::string stateText;
  switch (s.kind) {
    case PageState::kUnknown:
      stateText = validId ? "No report has arrived for this upload yet." : "This is not a valid upload page address.";
      break;
    case PageState::kUploading: stateText = "Uploading\xE2\x80\xA6"; break;
    case PageState::kDone: stateText = "Upload complete."; break;
    case PageState::kFailed: stateText = "The upload did not finish: no file was stored."; break;
  }
  bool known = s.kind != PageState::kUnknown;
  std::string title = known ? (s.name.empty() ? std::string("Upload") : s.name) + " \xE2\x80\x93 chunkup"
                            : std::string("Unknown upload \xE2\x80\x93 chunkup");
  std::string pct = std::to_string(s.percent);
  std::string html;
  html += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
  html += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
  html += "<title>" + HtmlEscape(title) + "</title>";
  // Without script the page still follows the upload, more slowly.
  if (validId && s.kind != PageState::kDone && s.kind != PageState::kFailed)
    html += "<noscript><meta http-equiv=\"refresh\" content=\"5\"></noscript>";
  html += "<style>" + std::string(kStyle) + "</style></head>";
  html += "<body class=\"" + kind + "\"" + (validId ? " data-uuid=\"" + HtmlEscape(uuid) + "\"" : "") + ">";
  html += "<header>chunkup</header><main><div class=\"card\">";
  html += "<h1 id=\"name\">" + HtmlEscape(known ? (s.name.empty() ? "(no name)" : s.name) : "Unknown upload") + "</h1>";
  html += "<div class=\"meta\">Size: <span id=\"size\">" + (known ? HtmlEscape(HumanSize(s.fileSize)) : "\xE2\x80\x94") +
          "</span></div>";
  html += "<div class=\"bar\" id=\"bar\" role=\"progressbar\" aria-valuemin=\"0\" aria-valuemax=\"100\" aria-valuenow=\"" +
          pct + "\"><div class=\"fill\" id=\"fill\" style=\"width:" + pct + "%\"></div></div>";
  html += "<div class=\"row\"><span class=\"percent\" id=\"percent\">" + (known ? pct + "%" : "") +
          "</span><span id=\"speed\">" +
          (s.kind == PageState::kUploading && s.speed > 0 ? HtmlEscape(HumanSize(s.speed)) + "/s" : "") +
          "</span></div>";
  html += "<div class=\"state\" id=\"state\">" + HtmlEscape(stateText) + "</div>";
  html += "<div class=\"result\" id=\"result\">";
  if (!s.resultUrl.empty() && IsWebUrl(s.resultUrl))
    html += "Your file: <a id=\"result-link\" href=\"" + HtmlEscape(s.resultUrl) + "\">" + HtmlEscape(s.resultUrl) + "</a>";
  html += "</div></div>";
  html += "<footer>Upload " + HtmlEscape(uuid.size() <= 64 ? uuid : uuid.substr(0, 64)) + "</footer></main>";
  if (validId) html += "<script>" + std::string(kScript) + "</script>";
  html += "</body></html>\n";
  return html;
}

}  // namespace chunkup::service
