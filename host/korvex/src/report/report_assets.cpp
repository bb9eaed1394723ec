// The style sheet and the small script inlined in every report (no files or fonts are fetched).
#include "report_assets.hpp"

namespace korvex::report {

std::string_view page_style() {
    return R"css(
:root{--ink:#111827;--muted:#6b7280;--line:#e5e7eb;--bg:#f6f7f9;--card:#fff;--pos:#047857;--neg:#b91c1c}
*{box-sizing:border-box}
body{margin:0;background:var(--bg);color:var(--ink);
 font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,"Noto Sans",sans-serif}
main{max-width:1100px;margin:0 auto;padding:28px 24px 40px}
h1{font-size:24px;margin:0 0 4px}
h2{font-size:16px;margin:0 0 12px}
.sub{color:var(--muted);margin:0 0 18px}
.cards{display:grid;grid-template-columns:repeat(auto-fit,minmax(160px,1fr));gap:12px;margin:0 0 20px}
.card{background:var(--card);border:1px solid var(--line);border-radius:8px;padding:12px 14px}
.card .l{color:var(--muted);font-size:12px;text-transform:uppercase;letter-spacing:.04em}
.card .v{font-size:20px;font-weight:600;font-variant-numeric:tabular-nums;margin-top:2px}
.card .v.negv,td.negv{color:var(--neg)}
section{background:var(--card);border:1px solid var(--line);border-radius:8px;padding:16px 18px;
 margin:0 0 20px}
figure{position:relative;margin:0}
svg.chart{width:100%;height:auto;display:block}
svg text{font-size:12px;fill:#374151}
.grid{stroke:#eceef1;stroke-width:1}
.axis{stroke:#9ca3af;stroke-width:1}
.zero{stroke:#6b7280;stroke-width:1;stroke-dasharray:3 3}
.line{fill:none;stroke-width:1.6;stroke-linejoin:round}
.area{opacity:.18}
.yl{text-anchor:end;fill:#6b7280}
.xl{text-anchor:middle;fill:#6b7280}
.ptitle{font-weight:600;font-size:13px;fill:#111827}
.lg{fill:#374151}
.cursor{stroke:#111827;stroke-width:1;stroke-dasharray:2 3}
.bl{text-anchor:end}
.bv{text-anchor:end;fill:#111827}
.bv.negv{fill:var(--neg)}
rect.pos{fill:#2563eb}
rect.neg{fill:#dc2626}
.tip{position:absolute;top:0;left:0;pointer-events:none;background:rgba(17,24,39,.92);color:#fff;
 font-size:12px;padding:6px 9px;border-radius:6px;white-space:nowrap;z-index:2}
.tip b{display:block;margin-bottom:2px}
.tip i{display:inline-block;width:10px;height:3px;margin-right:6px;vertical-align:middle}
.pair{display:grid;grid-template-columns:repeat(auto-fit,minmax(380px,1fr));gap:0 28px}
table{border-collapse:collapse;width:100%;font-variant-numeric:tabular-nums}
th,td{padding:5px 10px;border-bottom:1px solid var(--line);text-align:left;vertical-align:top}
th{font-size:12px;color:var(--muted);font-weight:600;background:#f9fafb}
td.n,th.n{text-align:right;white-space:nowrap}
.key{display:block;color:var(--muted);font:11px ui-monospace,SFMono-Regular,Menlo,Consolas,monospace}
.scroll{max-height:640px;overflow:auto;border:1px solid var(--line);border-radius:6px}
.scroll th{position:sticky;top:0}
table.trades td{white-space:nowrap}
.buy{color:var(--pos)}
.sell{color:var(--neg)}
.note{color:var(--muted);font-size:13px;margin:10px 0 0}
.empty{color:var(--muted);font-style:italic;margin:4px 0}
footer{color:var(--muted);font-size:12px;text-align:center}
@media print{section{break-inside:avoid}.scroll{max-height:none;overflow:visible}}
)css";
}

// Hover readout for the dated charts: the nearest drawn point of each line, with the exact value
// carried in the line's data attributes.
std::string_view page_script() {
    return R"js(
(function () {
  function money(v) {
    return v.toLocaleString('en-US', {minimumFractionDigits: 2, maximumFractionDigits: 2});
  }
  function show(v, kind) { return kind === 'percent' ? (v * 100).toFixed(2) + '%' : money(v); }
  function day(start, offset) {
    var p = start.split('-');
    var t = Date.UTC(+p[0], +p[1] - 1, +p[2]) + offset * 86400000;
    return new Date(t).toISOString().slice(0, 10);
  }
  function nearest(xs, x) {
    var lo = 0, hi = xs.length - 1;
    while (hi - lo > 1) { var mid = (lo + hi) >> 1; if (xs[mid] < x) lo = mid; else hi = mid; }
    return Math.abs(xs[lo] - x) <= Math.abs(xs[hi] - x) ? lo : hi;
  }
  function numbers(text) { return text.split(/[ ,]/).map(Number); }
  var wired = 0;
  Array.prototype.forEach.call(document.querySelectorAll('svg.timechart'), function (svg) {
    var tip = svg.parentNode.querySelector('.tip'), cursor = svg.querySelector('.cursor');
    var start = svg.getAttribute('data-start');
    var lines = Array.prototype.map.call(svg.querySelectorAll('polyline[data-v]'), function (pl) {
      return {name: pl.getAttribute('data-name'), kind: pl.getAttribute('data-kind'),
              color: pl.getAttribute('stroke'),
              xs: numbers(pl.getAttribute('points')).filter(function (_, i) { return i % 2 === 0; }),
              vs: numbers(pl.getAttribute('data-v')), ds: numbers(pl.getAttribute('data-d'))};
    }).filter(function (l) { return l.xs.length > 0; });
    if (!tip || !cursor || !lines.length) return;
    wired += 1;
    svg.addEventListener('mousemove', function (ev) {
      var m = svg.getScreenCTM();
      if (!m) return;
      var x = new DOMPoint(ev.clientX, ev.clientY).matrixTransform(m.inverse()).x;
      tip.textContent = '';
      var head = document.createElement('b'), when = null, at = 0;
      tip.appendChild(head);
      lines.forEach(function (l) {
        var i = nearest(l.xs, x), d = day(start, l.ds[i]);
        if (when === null) { when = d; at = l.xs[i]; }
        var row = document.createElement('div'), sw = document.createElement('i');
        sw.style.background = l.color;
        row.appendChild(sw);
        row.appendChild(document.createTextNode(
            l.name + ': ' + show(l.vs[i], l.kind) + (d === when ? '' : ' (' + d + ')')));
        tip.appendChild(row);
      });
      head.textContent = when;
      cursor.setAttribute('x1', at);
      cursor.setAttribute('x2', at);
      cursor.setAttribute('visibility', 'visible');
      var box = svg.getBoundingClientRect(), px = ev.clientX - box.left;
      tip.hidden = false;
      var left = px + 14 + tip.offsetWidth > box.width ? px - 14 - tip.offsetWidth : px + 14;
      tip.style.transform = 'translate(' + Math.max(0, left) + 'px,' +
          Math.max(0, ev.clientY - box.top - 20) + 'px)';
    });
    svg.addEventListener('mouseleave', function () {
      tip.hidden = true;
      cursor.setAttribute('visibility', 'hidden');
    });
  });
  // How many charts answer the pointer; lets a headless browser confirm the script ran through.
  document.documentElement.setAttribute('data-charts-ready', String(wired));
})();
)js";
}

}  // namespace korvex::report
