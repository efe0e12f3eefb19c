// The SLI-PRO drawn in an SVG, shared by the display page and the settings
// page. No framework and no build step: the SVG is made once, then classes
// change. The class names are stable (docs/web.md lists them) so a stream's
// own CSS can restyle the display.
"use strict";

const NS = "http://www.w3.org/2000/svg";
const DIGITS = 6;
const RPM_LEDS = 13;
const RPM_COLOURS = ["green", "green", "green", "green", "red", "red", "red", "red", "red",
  "blue", "blue", "blue", "blue"];
const WARNING_LEDS = 6;
// What an empty panel text shows, as the module draws it.
const LEFT_PLACEHOLDER = "---:---";
const RIGHT_PLACEHOLDER = "-:--.---";
// The report's bytes: gear, then each panel's six characters (ASCII, bit 7 the point).
const GEAR_BYTE = 2, LEFT_BYTE = 27, RIGHT_BYTE = 33;
const SEGMENTS = {
  "0": "abcdef", "1": "bc", "2": "abdeg", "3": "abcdg", "4": "bcfg", "5": "acdfg",
  "6": "acdefg", "7": "abc", "8": "abcdefg", "9": "abcdfg", "-": "g", "r": "eg", " ": "",
};

function el(name, attributes, parent) {
  const node = document.createElementNS(NS, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, String(value));
  if (parent) parent.appendChild(node);
  return node;
}

// One seven-segment digit with its point, slanted as on the display.
function digit(parent, x, y, w, h, t, kind) {
  const g = el("g", { class: `digit ${kind}`, transform: `translate(${x} ${y}) skewX(-7)` }, parent);
  const m = h / 2, i = t * 0.9;
  const ends = {
    a: [i, 0, w - i, 0], b: [w, i, w, m - i], c: [w, m + i, w, h - i], d: [i, h, w - i, h],
    e: [0, m + i, 0, h - i], f: [0, i, 0, m - i], g: [i, m, w - i, m],
  };
  const segments = {};
  for (const [name, [x1, y1, x2, y2]] of Object.entries(ends)) {
    segments[name] = el("line", { x1, y1, x2, y2, class: "seg", "stroke-width": t }, g);
  }
  const point = el("circle", { cx: w + t * 1.3, cy: h, r: t * 0.6, class: "dp" }, g);
  return { segments, point };
}

function show(d, char, point) {
  const lit = SEGMENTS[char] ?? "";
  for (const [name, node] of Object.entries(d.segments)) node.classList.toggle("on", lit.includes(name));
  d.point.classList.toggle("on", point);
}

// A panel text as its six positions: "." lights the point before it, ":" the
// points on both sides (the display's own rules).
function cellsOfText(text, placeholder) {
  const cells = [];
  let colon = false;
  for (const ch of text || placeholder) {
    if (ch === "." || ch === ":") {
      if (cells.length) cells[cells.length - 1][1] = true;
      colon = ch === ":";
      continue;
    }
    cells.push([ch in SEGMENTS ? ch : " ", colon]);
    colon = false;
  }
  cells.length = Math.min(cells.length, DIGITS);
  while (cells.length < DIGITS) cells.push([" ", false]);
  return cells;
}

function cellOfByte(code) {
  const ch = String.fromCharCode(code & 0x7f);
  return [ch in SEGMENTS ? ch : " ", (code & 0x80) !== 0];
}

function build(svg) {
  const defs = el("defs", {}, svg);
  // In user space: a segment is a line, whose box has no height or no width.
  const glow = el("filter", {
    id: "glow", filterUnits: "userSpaceOnUse", x: -100, y: -100, width: 1200, height: 600,
  }, defs);
  el("feGaussianBlur", { stdDeviation: 2.5, result: "b" }, glow);
  const merge = el("feMerge", {}, glow);
  el("feMergeNode", { in: "b" }, merge);
  el("feMergeNode", { in: "SourceGraphic" }, merge);
  el("rect", { x: 4, y: 4, width: 992, height: 322, rx: 28, class: "body" }, svg);

  const rpm = RPM_COLOURS.map((colour, i) =>
    el("circle", { cx: 212 + i * 48, cy: 52, r: 17, class: `led rpm ${colour}` }, svg));
  // Each warning LED's label comes with the frames: the app's settings name them.
  const labels = [], warnings = [];
  for (let i = 0; i < WARNING_LEDS; i++) {
    const x = i < 3 ? 52 : 948, y = 118 + (i % 3) * 70;
    labels.push(el("text", { x, y: y + 38, class: "label" }, svg));
    warnings.push(el("circle", { cx: x, cy: y, r: 15, class: "led warning amber" }, svg));
  }
  // In the document left to right: left panel, gear, right panel.
  const panel = (side) => el("g", { class: `panel ${side}` }, svg);
  const leftPanel = panel("left");
  const left = [...Array(DIGITS).keys()].map((i) => digit(leftPanel, 112 + i * 54, 125, 36, 110, 9, ""));
  const gear = digit(svg, 470, 105, 56, 150, 13, "gear");
  const rightPanel = panel("right");
  const right = [...Array(DIGITS).keys()].map((i) => digit(rightPanel, 586 + i * 54, 125, 36, 110, 9, ""));
  return { svg, rpm, warnings, labels, left, right, gear };
}

// Draws one frame (as /frame and /events send it) on parts from build().
function draw(parts, frame) {
  const report = Array.isArray(frame.report) && frame.report.length === 54 ? frame.report : null;
  frame.rpm.forEach((on, i) => parts.rpm[i]?.classList.toggle("on", on === 1));
  frame.warnings.forEach((on, i) => parts.warnings[i]?.classList.toggle("on", on === 1));
  if (Array.isArray(frame.labels)) {
    frame.labels.forEach((name, i) => {
      if (parts.labels[i] && parts.labels[i].textContent !== name) parts.labels[i].textContent = name;
    });
  }
  // The image the display holds where the app can read it back; else the texts as set.
  const left = report ? report.slice(LEFT_BYTE, LEFT_BYTE + DIGITS).map(cellOfByte)
    : cellsOfText(frame.left, LEFT_PLACEHOLDER);
  const right = report ? report.slice(RIGHT_BYTE, RIGHT_BYTE + DIGITS).map(cellOfByte)
    : cellsOfText(frame.right, RIGHT_PLACEHOLDER);
  left.forEach(([c, p], i) => show(parts.left[i], c, p));
  right.forEach(([c, p], i) => show(parts.right[i], c, p));
  const [gear, point] = report ? cellOfByte(report[GEAR_BYTE]) : [frame.gear.slice(0, 1) || " ", false];
  show(parts.gear, gear in SEGMENTS ? gear : " ", point);
  parts.svg.dataset.gear = frame.gear;
  parts.svg.dataset.left = frame.left;
  parts.svg.dataset.right = frame.right;
}

// Frames from the app as they come (Server-Sent Events from /events).
// EventSource retries by itself while the app is away; if it gives up, start again.
function follow(onFrame, onState) {
  const events = new EventSource("/events");
  events.onopen = () => onState(true);
  events.onmessage = (message) => {
    try {
      onFrame(JSON.parse(message.data));
    } catch (error) {
      console.error("kvdash: a frame the page cannot draw", error);
    }
  };
  events.onerror = () => {
    onState(false);
    if (events.readyState === EventSource.CLOSED) setTimeout(() => follow(onFrame, onState), 1000);
  };
}
