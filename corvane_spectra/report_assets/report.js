(function () {
  'use strict';
  // Every text from the report's data goes into the page through textContent.
  var DATA = JSON.parse(document.getElementById('report-data').textContent);
  // Each peak refers to rows of its view's ion table: [row, isotope offset].
  // An ion's bonds are those with both atoms in it.
  function rows(table) {
    var out = [];
    for (var r = 0; r < table.n; r++) {
      var row = {};
      for (var k in table.cols) if (Object.prototype.hasOwnProperty.call(table.cols, k)) row[k] = table.cols[k][r];
      out.push(row);
    }
    return out;
  }
  // Atom sets come as hexadecimal digits of four atoms each, lowest first.
  function atomList(hex) {
    if (hex === null || hex === undefined) return null;
    var out = [];
    for (var k = 0; k < hex.length; k++) {
      var d = parseInt(hex.charAt(k), 16);
      for (var b = 0; b < 4; b++) if (d & (1 << b)) out.push(4 * k + b);
    }
    return out;
  }
  DATA.views.forEach(function (v) {
    v.peaks = rows(v.peaks);
    v.ions = rows(v.ions);
    v.ions.forEach(function (ion) { ion.atoms = atomList(ion.atoms); });
    var ions = v.ions.map(function (ion) {
      if (ion.atoms) {
        var inside = {};
        ion.atoms.forEach(function (a) { inside[a] = true; });
        ion.bonds = [];
        v.bond_atoms.forEach(function (ab, k) { if (inside[ab[0]] && inside[ab[1]]) ion.bonds.push(k); });
      }
      return ion;
    });
    v.peaks.forEach(function (p) {
      p.ions = p.ions.map(function (ref) {
        var ion = Object.assign({}, ions[ref[0]]);
        ion.isotope = ref[1];
        return ion;
      });
    });
  });
  var SVGNS = 'http://www.w3.org/2000/svg';

  var state = {
    view: null,          // the shown view (one annotation)
    viewIndex: -1,
    selected: null,      // {kind: 'peak', mz, ion} | {kind: 'atom', i} | {kind: 'bond', i}
    sort: {key: 'mz', dir: 1},
    plotWidth: 0
  };

  function $(id) { return document.getElementById(id); }

  function h(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }

  function s(tag, attrs, text) {
    var e = document.createElementNS(SVGNS, tag);
    for (var k in attrs) if (Object.prototype.hasOwnProperty.call(attrs, k)) e.setAttribute(k, attrs[k]);
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }

  function clear(e) { while (e.firstChild) e.removeChild(e.firstChild); }

  function fmt(x, digits) {
    if (x === null || x === undefined) return '\u2013';
    return Number(x).toFixed(digits === undefined ? 1 : digits);
  }

  // A formula with its counts as subscripts, built from text nodes.
  function formulaNode(f) {
    var span = h('span', 'formula');
    var re = /([A-Z][a-z]?)(\d*)/g, m, last = 0;
    if (!f) { span.textContent = '?'; return span; }
    while ((m = re.exec(f)) !== null) {
      if (m.index !== last) span.appendChild(document.createTextNode(f.slice(last, m.index)));
      span.appendChild(document.createTextNode(m[1]));
      if (m[2]) span.appendChild(h('sub', null, m[2]));
      last = re.lastIndex;
      if (m[0] === '') re.lastIndex++;
    }
    if (last < f.length) span.appendChild(document.createTextNode(f.slice(last)));
    return span;
  }

  function ordinal(g) {
    if (g === null || g === undefined) return '';
    if (g === 0) return 'generation 0';
    return 'generation ' + g;
  }

  function ionText(ion) {
    var parts = [ion.route];
    if (ion.generation !== null && ion.generation !== undefined) parts.push(ordinal(ion.generation));
    if (ion.shift) parts.push('H shift ' + (ion.shift > 0 ? '+' : '\u2212') + Math.abs(ion.shift));
    else if (ion.mode === 'rearrangement') parts.push('H shift');
    if (ion.isotope) parts.push('isotope peak M+' + ion.isotope);
    return parts.join(', ');
  }

  function atomLabel(i) {
    var sym = state.view.atom_symbols[i];
    return (sym || '?') + i;
  }

  function bondLabel(b) {
    var ab = state.view.bond_atoms[b];
    return ab ? atomLabel(ab[0]) + '\u2013' + atomLabel(ab[1]) : 'bond ' + b;
  }

  // ---------------------------------------------------------------- header

  function renderHeader() {
    var title, sub;
    if (DATA.kind === 'identify') {
      title = 'Identification: ' + (DATA.query.title || '');
      var sn = DATA.score_name || '';
      sub = DATA.candidates.length + ' candidate(s) ranked by ' +
        (sn.indexOf('learned') === 0 ? 'the learned identification score' : 'cosine');
    } else {
      var v = DATA.views[0];
      title = 'Annotation: ' + (v.title || '');
      sub = v.smiles ? 'predicted for ' + v.smiles : '';
    }
    $('title').textContent = title;
    $('subtitle').textContent = sub;
  }

  function renderMeta(pairs) {
    var dl = $('meta');
    clear(dl);
    pairs.forEach(function (kv) {
      dl.appendChild(h('dt', null, kv[0]));
      dl.appendChild(h('dd', null, kv[1]));
    });
    if (!pairs.length) dl.appendChild(h('dd', 'note', 'no metadata'));
  }

  function renderScores(v) {
    var box = $('score');
    clear(box);
    if (v.score) {
      box.appendChild(document.createTextNode('score: ' + v.score.name + ' '));
      box.appendChild(h('span', 'value', fmt(v.score.value, 3)));
      box.appendChild(h('div', 'note', v.score.note));
    }
    var dl = $('figures');
    clear(dl);
    v.figures.forEach(function (f) {
      var dt = h('dt', null, f.name);
      if (f.note) dt.title = f.note;
      dl.appendChild(dt);
      dl.appendChild(h('dd', null, f.value === null ? 'n/a' : fmt(f.value, f.integer ? 0 : 3)));
    });
  }

  // ---------------------------------------------------------------- candidates

  var CAND_COLS = [
    {key: 'rank', label: 'rank', num: true},
    {key: 'score', label: 'score', num: true, digits: 3},
    {key: 'explained', label: 'explained peaks', num: true},
    {key: 'molecular_ion', label: 'M\u207A seen', flag: true},
    {key: 'contradiction', label: 'M\u207A contradicts the spectrum'},
    {key: 'matches', label: 'matched peaks', num: true},
    {key: 'name', label: 'name'},
    {key: 'smiles', label: 'SMILES'}
  ];

  function renderCandidates() {
    var sec = $('candidates');
    sec.hidden = false;
    var thead = $('cand-table').tHead, tbody = $('cand-table').tBodies[0];
    clear(thead); clear(tbody);
    if (DATA.score_name && !$('score-name')) {
      var hint = sec.querySelector('p.hint');
      if (hint) hint.appendChild(h('span', null, ' Score = ' + DATA.score_name + '.')).id = 'score-name';
    }
    var tr = h('tr');
    CAND_COLS.forEach(function (c) {
      var th = h('th', c.num ? 'num' : null, c.label);
      if (c.key === 'score' && DATA.score_name) th.title = 'score = ' + DATA.score_name;
      tr.appendChild(th);
    });
    thead.appendChild(tr);
    DATA.candidates.forEach(function (c, k) {
      var row = h('tr');
      row.dataset.cand = String(k);
      CAND_COLS.forEach(function (col) {
        var val = c[col.key], text;
        if (col.flag) text = val === null || val === undefined ? '\u2013' : (val ? 'yes' : 'no');
        else if (val === null || val === undefined) text = '\u2013';
        else if (col.digits) text = fmt(val, col.digits);
        else text = String(val);
        row.appendChild(h('td', col.num ? 'num' : null, text));
      });
      if (c.view === null || c.view === undefined) {
        row.className = 'nodetail';
        row.title = 'no structure or spectrum for this candidate';
      } else {
        row.tabIndex = 0;
        row.addEventListener('click', function () { showView(c.view); });
        row.addEventListener('keydown', function (ev) {
          if (ev.key === 'Enter' || ev.key === ' ') { ev.preventDefault(); showView(c.view); }
        });
      }
      tbody.appendChild(row);
    });
    var failed = $('failed');
    failed.textContent = DATA.failed.length ?
      DATA.failed.length + ' candidate(s) could not be predicted: ' +
      DATA.failed.map(function (f) { return f[0] + ' (' + f[1] + ')'; }).join('; ') : '';
  }

  // ---------------------------------------------------------------- views

  function showView(k) {
    var v = DATA.views[k];
    if (!v) return;
    state.view = v;
    state.viewIndex = k;
    state.selected = null;
    state.byMz = {};
    v.peaks.forEach(function (p) { state.byMz[p.mz] = p; });
    if (DATA.kind === 'identify') {
      renderMeta(DATA.query.metadata);
      var rows = $('cand-table').tBodies[0].rows;
      for (var r = 0; r < rows.length; r++) {
        var c = DATA.candidates[Number(rows[r].dataset.cand)];
        rows[r].classList.toggle('current', c.view === k);
      }
      $('subtitle').textContent = 'shown: ' + (DATA.candidates.filter(function (c) { return c.view === k; })
        .map(function (c) { return 'rank ' + c.rank + ', ' + (c.name || c.smiles || ''); })[0] || '');
    } else {
      renderMeta(v.metadata);
    }
    renderScores(v);
    var mols = document.querySelectorAll('#mols .mol');
    for (var i = 0; i < mols.length; i++) mols[i].hidden = Number(mols[i].dataset.slot) !== v.mol;
    $('no-structure').hidden = v.mol !== null && v.mol !== undefined;
    $('scale').textContent = 'Intensity: relative, base peak = 100 on each side. Up: measured (% of the base peak). ' +
      'Down: predicted, ' + v.convention_text + '. Green: predicted peaks on strong measured peaks.' +
      (v.soft_note ? ' ' + v.soft_note + '.' : '');
    drawPlot();
    renderPeakTable();
    applySelection(null);
  }

  function currentMol() {
    var v = state.view;
    if (!v || v.mol === null || v.mol === undefined) return null;
    return document.querySelector('#mols .mol[data-slot="' + v.mol + '"]');
  }

  // ---------------------------------------------------------------- mirror plot

  function niceStep(span, px, minPx) {
    var raw = span * minPx / Math.max(px, 1);
    var p = Math.pow(10, Math.floor(Math.log10(raw)));
    var steps = [1, 2, 5, 10];
    for (var i = 0; i < steps.length; i++) if (steps[i] * p >= raw) return steps[i] * p;
    return 10 * p;
  }

  function boxesOverlap(a, b, pad) {
    return a.x < b.x + b.width + pad && b.x < a.x + a.width + pad &&
      a.y < b.y + b.height + pad && b.y < a.y + a.height + pad;
  }

  function drawPlot() {
    var v = state.view, host = $('plot');
    clear(host);
    var W = Math.max(320, Math.floor(host.clientWidth || 600));
    state.plotWidth = W;
    var H = Math.round(Math.max(300, Math.min(440, W * 0.55)));
    var m = {l: 50, r: 14, t: 10, b: 40};
    var svg = s('svg', {'class': 'mirror', viewBox: '0 0 ' + W + ' ' + H, width: W, height: H,
      role: 'group', 'aria-label': 'mirror plot: measured spectrum up, predicted spectrum down'});
    host.appendChild(svg);
    var peaks = v.peaks;
    var lo = peaks.length ? peaks[0].mz : 0, hi = peaks.length ? peaks[peaks.length - 1].mz : 100;
    var span = Math.max(hi - lo, 10);
    var x0 = lo - 0.04 * span - 2, x1 = hi + 0.04 * span + 2;
    var pw = W - m.l - m.r, ph = H - m.t - m.b, mid = m.t + ph / 2;
    var headroom = 1.32;
    function X(mz) { return m.l + (mz - x0) / (x1 - x0) * pw; }
    function Y(rel, up) { return mid + (up ? -1 : 1) * rel / (100 * headroom) * (ph / 2); }

    var axis = s('g', {'class': 'axis'});
    svg.appendChild(axis);
    [-100, -50, 50, 100].forEach(function (t) {
      axis.appendChild(s('line', {'class': 'grid', x1: m.l, x2: m.l + pw, y1: Y(Math.abs(t), t > 0), y2: Y(Math.abs(t), t > 0)}));
    });
    axis.appendChild(s('path', {d: 'M' + m.l + ',' + m.t + 'V' + (m.t + ph) + 'H' + (m.l + pw)}));
    axis.appendChild(s('line', {x1: m.l, x2: m.l + pw, y1: mid, y2: mid}));
    var texts = [];
    [100, 50, 0, -50, -100].forEach(function (t) {
      var y = Y(Math.abs(t), t > 0);
      axis.appendChild(s('line', {x1: m.l - 4, x2: m.l, y1: y, y2: y}));
      var tx = s('text', {'class': 'tick', x: m.l - 6, y: y + 4, 'text-anchor': 'end'}, Math.abs(t));
      axis.appendChild(tx);
    });
    var step = niceStep(x1 - x0, pw, 56);
    for (var t = Math.ceil(x0 / step) * step; t <= x1; t += step) {
      var x = X(t);
      axis.appendChild(s('line', {x1: x, x2: x, y1: m.t + ph, y2: m.t + ph + 4}));
      axis.appendChild(s('text', {'class': 'tick', x: x, y: m.t + ph + 16, 'text-anchor': 'middle'}, t));
    }
    axis.appendChild(s('text', {'class': 'axis-title', x: m.l + pw / 2, y: H - 6, 'text-anchor': 'middle'}, 'm/z'));
    var yt = s('text', {'class': 'axis-title', x: 0, y: 0, 'text-anchor': 'middle',
      transform: 'translate(12,' + mid + ') rotate(-90)'}, 'relative intensity');
    axis.appendChild(yt);
    var cornerUp = s('text', {'class': 'corner up', x: m.l + 6, y: m.t + 12}, 'measured');
    var cornerDown = s('text', {'class': 'corner down', x: m.l + 6, y: m.t + ph - 6}, 'predicted (' + v.convention + ')');
    svg.appendChild(cornerUp);
    svg.appendChild(cornerDown);

    var unit = pw / (x1 - x0);
    // One target per m/z unit: neighbours touch but never cover each other.
    var hitW = Math.min(unit, 14);
    var sticks = s('g', {'class': 'sticks'});
    svg.appendChild(sticks);
    var labels = [];
    peaks.forEach(function (p) {
      var x = X(p.mz);
      var matched = p.strong && p.predicted !== null;
      var g = s('g', {'class': 'peak', tabindex: '0', role: 'button', 'data-mz': p.mz,
        'aria-label': 'm/z ' + p.mz + ': measured ' + fmt(p.measured) + ', predicted ' + fmt(p.predicted) +
          (p.ions.length ? ', ' + p.ions.map(function (i) { return i.formula; }).join(', ') : '')});
      g.appendChild(s('rect', {'class': 'hit', x: x - hitW / 2, y: m.t, width: hitW, height: ph}));
      if (p.measured !== null) {
        g.appendChild(s('line', {'class': 'stick measured' + (matched ? ' matched' : ''), x1: x, x2: x,
          y1: mid, y2: Y(p.measured, true)}));
        if (p.strong) labels.push({text: String(p.mz), mz: p.mz, x: x, y: Y(p.measured, true), up: true,
          cls: matched ? 'matched' : 'measured', pri: p.measured + (matched ? 50 : 0)});
      }
      if (p.predicted !== null) {
        g.appendChild(s('line', {'class': 'stick predicted' + (p.strong ? ' matched' : ''), x1: x, x2: x,
          y1: mid, y2: Y(p.predicted, false)}));
        labels.push({text: p.ions.length && p.ions[0].formula ? p.ions[0].formula : String(p.mz), mz: p.mz,
          x: x, y: Y(p.predicted, false), up: false, cls: p.strong ? 'matched' : 'predicted',
          pri: p.predicted + (p.strong ? 200 : 0)});
      }
      g.addEventListener('mouseenter', function () { preview({kind: 'peak', mz: p.mz, ion: 0}); });
      g.addEventListener('mouseleave', function () { preview(null); });
      g.addEventListener('focus', function () { preview({kind: 'peak', mz: p.mz, ion: 0}); });
      g.addEventListener('blur', function () { preview(null); });
      g.addEventListener('click', function () { select({kind: 'peak', mz: p.mz, ion: 0}); });
      g.addEventListener('keydown', function (ev) {
        if (ev.key === 'Enter' || ev.key === ' ') { ev.preventDefault(); select({kind: 'peak', mz: p.mz, ion: 0}); }
        else if (ev.key === 'ArrowRight' || ev.key === 'ArrowLeft') {
          // The arrow keys step through the peaks in m/z order.
          var next = ev.key === 'ArrowRight' ? g.nextElementSibling : g.previousElementSibling;
          if (next) { ev.preventDefault(); next.focus(); }
        }
      });
      sticks.appendChild(g);
    });
    placeLabels(svg, labels, {x: m.l, y: m.t, width: pw, height: ph}, [cornerUp, cornerDown]);
  }

  // Labels at the stick tips in priority order, none overlapping another or
  // leaving the plot; a label with no free place is left out.
  function placeLabels(svg, labels, area, obstacles) {
    var layer = s('g', {'class': 'labels'});
    svg.appendChild(layer);
    var placed = obstacles.map(function (o) { return o.getBBox(); });
    labels.sort(function (a, b) { return b.pri - a.pri || a.mz - b.mz; });
    var upCount = 0, downCount = 0, maxSide = Math.max(8, Math.floor(area.width / 28));
    labels.forEach(function (lab) {
      if (lab.up ? upCount >= maxSide : downCount >= maxSide) return;
      var t = s('text', {'class': 'plabel ' + lab.cls, 'text-anchor': 'middle', x: lab.x, y: lab.y}, lab.text);
      layer.appendChild(t);
      var bb = t.getBBox();
      var w = bb.width, hgt = bb.height;
      var ok = false, px = lab.x, py = lab.y, level;
      for (level = 0; level < 8 && !ok; level++) {
        var dys = lab.up ? -(3 + level * (hgt + 1)) : (3 + level * (hgt + 1));
        var dxs = level === 0 ? [0] : [0, -0.6 * w, 0.6 * w, -1.2 * w, 1.2 * w];
        for (var k = 0; k < dxs.length; k++) {
          var cx = lab.x + dxs[k];
          var top = lab.up ? lab.y + dys - hgt : lab.y + dys;
          var box = {x: cx - w / 2, y: top, width: w, height: hgt};
          if (box.x < area.x + 1 || box.x + w > area.x + area.width - 1 || box.y < area.y + 1 ||
              box.y + hgt > area.y + area.height - 1) continue;
          var free = true;
          for (var j = 0; j < placed.length; j++) if (boxesOverlap(box, placed[j], 1.5)) { free = false; break; }
          if (!free) continue;
          // The text's baseline sits near the bottom of its box.
          px = cx; py = top + hgt - (bb.y + bb.height - lab.y);
          t.setAttribute('x', px);
          t.setAttribute('y', py);
          placed.push(t.getBBox());
          ok = true;
          if (level > 0 || dxs[k] !== 0) {
            var ey = lab.up ? top + hgt : top;
            layer.insertBefore(s('line', {'class': 'leader', x1: lab.x, y1: lab.y, x2: cx, y2: ey}), t);
          }
          break;
        }
      }
      if (!ok) { layer.removeChild(t); return; }
      if (lab.up) upCount++; else downCount++;
    });
  }

  // ---------------------------------------------------------------- peak table

  var PEAK_COLS = [
    {key: 'mz', label: 'm/z', num: true},
    {key: 'measured', label: 'measured %', num: true},
    {key: 'predicted', label: 'predicted', num: true},
    {key: 'formulas', label: 'formulas'},
    {key: 'routes', label: 'routes'}
  ];

  function sortValue(p, key) {
    if (key === 'formulas') return p.ions.map(function (i) { return i.formula; }).join(' ');
    if (key === 'routes') return p.ions.map(function (i) { return i.route; }).join(' ');
    return p[key];
  }

  function renderPeakTable() {
    var table = $('peak-table'), thead = table.tHead, tbody = table.tBodies[0];
    clear(thead); clear(tbody);
    var tr = h('tr');
    PEAK_COLS.forEach(function (c) {
      var th = h('th', c.num ? 'num' : null);
      th.dataset.key = c.key;
      if (state.sort.key === c.key) th.setAttribute('aria-sort', state.sort.dir > 0 ? 'ascending' : 'descending');
      var b = h('button', null, c.label);
      b.type = 'button';
      b.addEventListener('click', function () {
        if (state.sort.key === c.key) state.sort.dir = -state.sort.dir;
        else state.sort = {key: c.key, dir: c.num && c.key !== 'mz' ? -1 : 1};
        renderPeakTable();
        applySelection(state.selected);
      });
      th.appendChild(b);
      tr.appendChild(th);
    });
    thead.appendChild(tr);
    var key = state.sort.key, dir = state.sort.dir;
    var rows = state.view.peaks.slice();
    rows.sort(function (a, b) {
      var x = sortValue(a, key), y = sortValue(b, key);
      var xn = x === null || x === undefined || x === '', yn = y === null || y === undefined || y === '';
      if (xn || yn) return xn === yn ? a.mz - b.mz : (xn ? 1 : -1);   // empty cells last either way
      if (x < y) return -dir;
      if (x > y) return dir;
      return a.mz - b.mz;
    });
    rows.forEach(function (p) {
      var row = h('tr');
      row.tabIndex = 0;
      row.dataset.mz = String(p.mz);
      row.appendChild(h('td', 'num', p.mz));
      row.appendChild(h('td', 'num', p.measured === null ? '' : fmt(p.measured)));
      row.appendChild(h('td', 'num', p.predicted === null ? '' : fmt(p.predicted)));
      var f = h('td'), r = h('td');
      if (!p.ions.length) {
        if (p.strong) f.appendChild(h('span', 'unexplained', 'unexplained'));
      }
      p.ions.forEach(function (ion, k) {
        if (k) { f.appendChild(document.createTextNode('; ')); r.appendChild(document.createTextNode('; ')); }
        f.appendChild(formulaNode(ion.formula));
        r.appendChild(document.createTextNode(ionText(ion)));
      });
      row.appendChild(f);
      row.appendChild(r);
      row.addEventListener('mouseenter', function () { preview({kind: 'peak', mz: p.mz, ion: 0}); });
      row.addEventListener('mouseleave', function () { preview(null); });
      row.addEventListener('click', function () { select({kind: 'peak', mz: p.mz, ion: 0}); });
      row.addEventListener('keydown', function (ev) {
        if (ev.key === 'Enter' || ev.key === ' ') { ev.preventDefault(); select({kind: 'peak', mz: p.mz, ion: 0}); }
      });
      tbody.appendChild(row);
    });
  }

  // ---------------------------------------------------------------- highlighting

  function preview(target) { applySelection(target || state.selected); }

  function select(target) {
    var same = state.selected && target && state.selected.kind === target.kind &&
      state.selected.mz === target.mz && state.selected.i === target.i && state.selected.ion === target.ion;
    state.selected = same ? null : target;
    applySelection(state.selected);
  }

  function each(sel, fn) {
    var list = document.querySelectorAll(sel);
    for (var i = 0; i < list.length; i++) fn(list[i]);
  }

  function applySelection(target) {
    ['hl', 'cut', 'picked'].forEach(function (c) { each('#mols .' + c, function (e) { e.classList.remove(c); }); });
    ['active', 'keeps', 'cuts'].forEach(function (c) {
      each('#plot .peak.' + c + ', #peak-table tr.' + c, function (e) { e.classList.remove(c); });
    });
    var mol = currentMol();
    var detail = $('detail');
    clear(detail);
    if (!target) {
      detail.appendChild(h('p', 'note', 'Nothing selected.'));
      return;
    }
    if (target.kind === 'peak') {
      var p = state.byMz[target.mz];
      if (!p) return;
      markPeak(p.mz, 'active');
      var ion = p.ions[target.ion || 0];
      if (ion && mol) {
        (ion.atoms || []).forEach(function (a) { mark(mol, '.atom-halo[data-atom="' + a + '"]', 'hl'); });
        (ion.bonds || []).forEach(function (b) { mark(mol, '.bond-halo[data-bond="' + b + '"]', 'hl'); });
        (ion.cuts || []).forEach(function (b) { mark(mol, '.bond-halo[data-bond="' + b + '"]', 'cut'); });
      }
      peakDetail(detail, p, target);
    } else if (target.kind === 'atom' || target.kind === 'bond') {
      var isAtom = target.kind === 'atom';
      if (mol) mark(mol, (isAtom ? '.atom-halo[data-atom="' : '.bond-halo[data-bond="') + target.i + '"]', 'picked');
      var hits = state.view.peaks.filter(function (pk) {
        return pk.ions.some(function (io) {
          return isAtom ? (io.atoms || []).indexOf(target.i) >= 0 : (io.cuts || []).indexOf(target.i) >= 0;
        });
      });
      hits.forEach(function (pk) { markPeak(pk.mz, isAtom ? 'keeps' : 'cuts'); });
      detail.appendChild(h('p', 'head', isAtom ? 'Atom ' + atomLabel(target.i) : 'Bond ' + bondLabel(target.i) +
        (state.view.soft_bonds.indexOf(target.i) >= 0 ? ' (soft in the VIF analysis)' : '')));
      detail.appendChild(h('p', null, hits.length ?
        hits.length + (isAtom ? ' peak(s) whose ions keep this atom: ' : ' peak(s) whose routes cut this bond: ') +
        hits.map(function (pk) { return pk.mz; }).join(', ') :
        (isAtom ? 'No predicted ion keeps this atom.' : 'No predicted route cuts this bond.')));
    }
  }

  function mark(root, sel, cls) {
    var list = root.querySelectorAll(sel);
    for (var i = 0; i < list.length; i++) list[i].classList.add(cls);
  }

  function markPeak(mz, cls) {
    each('#plot .peak[data-mz="' + mz + '"], #peak-table tr[data-mz="' + mz + '"]', function (e) { e.classList.add(cls); });
  }

  function peakDetail(box, p, target) {
    box.appendChild(h('p', 'head', 'm/z ' + p.mz));
    box.appendChild(h('p', null, 'measured ' + (p.measured === null ? 'no peak' : fmt(p.measured) + ' % of the base peak') +
      (p.strong ? ' (strong)' : '') + '; predicted ' + (p.predicted === null ? 'no peak' : fmt(p.predicted))));
    if (!p.ions.length) {
      box.appendChild(h('p', 'note', p.predicted === null ? 'No predicted ion at this m/z.' : 'No annotation.'));
      return;
    }
    var list = h('div', 'ions');
    p.ions.forEach(function (ion, k) {
      var d = h('div', 'ion' + (k === (target.ion || 0) ? ' shown' : ''));
      d.appendChild(formulaNode(ion.formula));
      d.appendChild(document.createTextNode(' \u2014 ' + ionText(ion)));
      if (ion.atoms === null || ion.atoms === undefined) {
        d.appendChild(h('div', 'note', 'atoms of this ion not known for this route'));
      } else if (ion.cuts && ion.cuts.length) {
        d.appendChild(h('div', 'note', 'cut bonds: ' + ion.cuts.map(bondLabel).join(', ')));
      }
      if (p.ions.length > 1 && k !== (target.ion || 0)) {
        var b = h('button', null, 'show this ion');
        b.type = 'button';
        b.addEventListener('click', function () { select({kind: 'peak', mz: p.mz, ion: k}); });
        d.appendChild(b);
      }
      list.appendChild(d);
    });
    box.appendChild(list);
  }

  function wireStructures() {
    each('#mols .atom-hit, #mols .bond-hit', function (e) {
      var isAtom = e.classList.contains('atom-hit');
      var target = function () {
        return {kind: isAtom ? 'atom' : 'bond', i: Number(isAtom ? e.getAttribute('data-atom') : e.getAttribute('data-bond'))};
      };
      e.addEventListener('mouseenter', function () { preview(target()); });
      e.addEventListener('mouseleave', function () { preview(null); });
      e.addEventListener('focus', function () { preview(target()); });
      e.addEventListener('blur', function () { preview(null); });
      e.addEventListener('click', function () { select(target()); });
      e.addEventListener('keydown', function (ev) {
        if (ev.key === 'Enter' || ev.key === ' ') { ev.preventDefault(); select(target()); }
      });
    });
    $('numbers').addEventListener('change', function (ev) {
      $('mols').classList.toggle('show-numbers', ev.target.checked);
    });
  }

  document.addEventListener('keydown', function (ev) {
    if (ev.key === 'Escape') { state.selected = null; applySelection(null); }
  });

  var pending = false;
  window.addEventListener('resize', function () {
    if (pending) return;
    pending = true;
    window.requestAnimationFrame(function () {
      pending = false;
      var w = Math.floor($('plot').clientWidth);
      if (state.view && w && w !== state.plotWidth) { drawPlot(); applySelection(state.selected); }
    });
  });

  renderHeader();
  wireStructures();
  if (DATA.kind === 'identify') renderCandidates();
  if (DATA.views.length) {
    showView(0);
  } else {
    renderMeta(DATA.kind === 'identify' ? DATA.query.metadata : []);
    $('detail').appendChild(h('p', 'note', 'No candidate could be shown.'));
  }
  document.documentElement.dataset.ready = '1';
})();
