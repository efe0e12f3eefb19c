// The settings page: edits the settings file's tables (from /api/settings,
// which also says what each key may hold), saves them back, and beside them
// draws the display as the app drives it, or a sweep of the RPM LEDs through
// the shift points being edited. What is in force and the sweep come from
// the app (/api/preview): the page keeps no rules of its own.
"use strict";

const $ = (id) => document.getElementById(id);
const parts = build($("display"));
const info = $("info");
let state = null; // {file, settings, choices} as the app sent them
let scope = null; // {kind: "top" | "game" | "car", name}
let sweeping = false;
let edited = false; // changes not saved yet

function scopeKey(s) { return s.kind === "top" ? "top" : `${s.kind}:${s.name}`; }
function scopeOf(key) {
  if (key === "top") return { kind: "top", name: "" };
  const at = key.indexOf(":");
  return { kind: key.slice(0, at), name: key.slice(at + 1) };
}

// The table a scope edits; made when asked to.
function tableOf(s, make) {
  if (s.kind === "top") return state.settings;
  const group = state.settings[s.kind] ?? (make ? (state.settings[s.kind] = {}) : {});
  return group[s.name] ?? (make ? (group[s.name] = {}) : {});
}

function setStatus(text, kind) {
  $("status").textContent = text;
  $("status").className = kind ?? "";
}

// Every game first (where a page opens), then the current game and car, then every table there is.
function fillScopes() {
  const { game, car } = state.choices.current;
  const title = (g) => `${state.choices.titles?.[g] ?? g} (${g})`;
  const options = [["top", "every game (the top level)"]];
  if (game) options.push([`game:${game}`, `this game: ${title(game)}`]);
  if (game && car) options.push([`car:${game}:${car}`, `this car: ${car} in ${title(game)}`]);
  for (const kind of ["game", "car"]) {
    for (const name of Object.keys(state.settings[kind] ?? {})) {
      if (!options.some(([key]) => key === `${kind}:${name}`)) {
        options.push([`${kind}:${name}`, `[${kind}.${kind === "car" ? JSON.stringify(name) : name}]`]);
      }
    }
  }
  const select = $("scope");
  select.replaceChildren(...options.map(([value, label]) => new Option(label, value)));
  if (!scope || !options.some(([key]) => key === scopeKey(scope))) scope = scopeOf(options[0][0]);
  select.value = scopeKey(scope);
  // Every game, this game and this car one click away; other tables in the list.
  $("tabs").replaceChildren(...options.slice(0, 1 + (game ? 1 : 0) + (game && car ? 1 : 0))
    .map(([value, label]) => {
      const tab = document.createElement("button");
      tab.type = "button";
      tab.setAttribute("role", "tab");
      tab.dataset.scope = value;
      tab.textContent = label;
      tab.setAttribute("aria-selected", String(value === select.value));
      tab.onclick = () => { select.value = value; select.onchange?.(new Event("change")); };
      return tab;
    }));
  $("new-game").replaceChildren(...state.choices.games.map((g) => new Option(g, g)));
  if (game) $("new-game").value = game;
}

function put(key, value) {
  const table = tableOf(scope, value !== undefined);
  if (value === undefined) delete table[key];
  else table[key] = value;
  edited = true;
  setStatus("not saved yet");
  askPreview();
}

function numberOf(text) {
  const value = Number(text);
  return text.trim() === "" || !Number.isFinite(value) ? undefined : value;
}

function field(key, spec, value) {
  const row = document.createElement("div");
  row.className = `row key-${key}`;
  const name = document.createElement("span");
  name.textContent = spec.label ?? key;
  name.title = key; // as the file names it
  row.append(name);
  const place = document.createElement("span");
  row.append(place);
  if (spec.kind === "choice" || spec.kind === "bool") {
    const select = document.createElement("select");
    select.dataset.key = key;
    const choices = spec.kind === "bool" ? ["true", "false"] : spec.choices;
    const unset = new Option("(not set here)", "");
    whenInForce(() => { unset.textContent = inForceText(key); });
    select.append(unset, ...choices.map((c) => new Option(c, c)));
    select.value = value === undefined ? "" : String(value);
    select.onchange = () => put(key, select.value === "" ? undefined
      : spec.kind === "bool" ? select.value === "true" : select.value);
    place.append(select);
  } else if (spec.kind === "number" || spec.kind === "text") {
    const input = document.createElement("input");
    input.dataset.key = key;
    input.value = value === undefined ? "" : String(value);
    whenInForce(() => { input.placeholder = inForceText(key); });
    // Text that is no number goes as it is: the app's own check names the mistake.
    input.oninput = () => put(key, input.value.trim() === "" ? undefined
      : spec.kind === "number" ? numberOf(input.value) ?? input.value : input.value);
    place.append(input);
  } else if (spec.kind === "gears") {
    place.className = "gears";
    const points = Array.isArray(value) ? [...value] : [];
    const redraw = () => {
      place.replaceChildren();
      points.forEach((rpm, i) => {
        const input = document.createElement("input");
        Object.assign(input.dataset, { key, gear: String(i + 1) });
        input.value = String(rpm);
        input.title = `gear ${i + 1}`;
        input.oninput = () => {
          points[i] = numberOf(input.value) ?? input.value;
          put(key, [...points]);
        };
        place.append(input);
      });
      const more = document.createElement("button");
      more.type = "button";
      more.textContent = "+ gear";
      more.disabled = points.length >= spec.most;
      more.onclick = () => {
        // The first: the shift point in force for first gear, as the app works it out.
        points.push(points.length ? points[points.length - 1]
          : preview?.sweep[0]?.shift ?? state.choices.rpm.shift);
        put(key, [...points]);
        redraw();
      };
      const fewer = document.createElement("button");
      fewer.type = "button";
      fewer.textContent = "− gear";
      fewer.disabled = points.length === 0;
      fewer.onclick = () => {
        points.pop();
        put(key, points.length ? [...points] : undefined);
        redraw();
      };
      place.append(more, " ", fewer);
      if (!points.length) {
        const held = Object.assign(document.createElement("span"), { className: "inforce" });
        whenInForce(() => { held.textContent = `in force: ${inForceText(key)}`; });
        place.append(" ", held);
      }
    };
    redraw();
  } else if (spec.kind === "leds") {
    place.className = "leds";
    const set = document.createElement("input");
    set.type = "checkbox";
    set.dataset.key = key;
    set.checked = Array.isArray(value);
    set.title = "set here";
    const shown = Array.isArray(value) ? [...value] : [...state.choices.defaults[key]];
    const selects = shown.map((name, i) => {
      const select = document.createElement("select");
      select.dataset.led = String(i + 1);
      select.append(...spec.choices.map((c) => new Option(c, c)));
      select.value = name;
      select.disabled = !set.checked;
      select.onchange = () => { shown[i] = select.value; put(key, [...shown]); };
      return select;
    });
    const held = Object.assign(document.createElement("span"), { className: "inforce" });
    // Not set here: the LEDs in force, and where they come from.
    whenInForce(() => {
      const from = preview.values[key];
      if (set.checked || !Array.isArray(from)) return;
      from.forEach((name, i) => { shown[i] = name; if (selects[i]) selects[i].value = name; });
      held.textContent = `(from ${preview.from[key]})`;
    });
    set.onchange = () => {
      selects.forEach((s) => { s.disabled = !set.checked; });
      held.hidden = set.checked;
      put(key, set.checked ? [...shown] : undefined);
    };
    held.hidden = set.checked;
    place.append(set, ...selects, " ", held);
  }
  if (spec.help) {
    const help = document.createElement("span");
    help.className = "help";
    help.textContent = spec.help;
    row.append(help);
  }
  return row;
}

function render() {
  fillScopes();
  const where = state.choices.exists ? "settings file" : "no settings file yet: saving creates";
  $("file").replaceChildren(`${where} `, Object.assign(document.createElement("code"),
    { textContent: state.file ?? "(no configuration folder: start the app with --config FILE)" }));
  const table = tableOf(scope, false);
  const keys = Object.entries(state.choices.keys);
  inForce.length = 0;
  const form = $("form");
  form.replaceChildren(...keys.filter(([, spec]) => spec.per_car)
    .map(([key, spec]) => field(key, spec, table[key])));
  if (scope.kind === "top") {
    const more = document.createElement("details");
    more.append(Object.assign(document.createElement("summary"),
      { textContent: "every other setting (some apply at the next start)" }));
    more.append(...keys.filter(([, spec]) => !spec.per_car)
      .map(([key, spec]) => field(key, spec, table[key])));
    form.append(more);
  }
  showInForce();
  askPreview();
}

async function load() {
  const answer = await fetch("/api/settings");
  const body = await answer.json();
  if (!answer.ok) throw new Error(body.error ?? answer.statusText);
  state = body;
  edited = false;
  render();
  // Changed by hand into a mistake since: said (saving puts right what the page shows).
  if (state.choices.problem) setStatus(state.choices.problem, "error");
}

async function save() {
  setStatus("saving…");
  try {
    const answer = await fetch("/api/settings", {
      // The version read: a save over a file changed since (by hand, in
      // another tab) is refused rather than dropping what this page never saw.
      method: "POST",
      headers: { "Content-Type": "application/json", "If-Match": `"${state.version}"` },
      body: JSON.stringify(state.settings),
    });
    const body = await answer.json();
    if (!answer.ok) {
      setStatus(body.error ?? answer.statusText, "error");
      return;
    }
    state = body;
    edited = false;
    render();
    setStatus(`saved to ${state.file}: the display follows`, "ok");
  } catch (error) {
    setStatus(`not saved: ${error}`, "error");
  }
}

// ---------------------------------------------------------------- in force

let preview = null; // what /api/preview last answered for the tables and scope edited
const inForce = []; // what each field shows of it, redone on each answer
let asking = false, askAgain = false, previewFailed = false;

function whenInForce(show) {
  inForce.push(show);
  if (preview) show();
}

function showInForce() {
  if (!preview) return;
  for (const show of inForce) show();
  if (edited && lastFrame && !sweeping) drawLive(lastFrame);
}

// The value in force where the table edited does not set it: "7000 (from every game)".
function inForceText(key) {
  if (!preview || !(key in preview.values)) return "";
  const value = preview.values[key], from = preview.from[key];
  if (value == null || (Array.isArray(value) && !value.length)) return "not set";
  return `${Array.isArray(value) ? value.join(", ") : value} (from ${from})`;
}

// One question at a time; edits made meanwhile are asked about once it is answered.
async function askPreview() {
  if (!state) return;
  if (asking) { askAgain = true; return; }
  asking = true;
  try {
    do {
      askAgain = false;
      const answer = await fetch("/api/preview", {
        method: "POST", headers: { "Content-Type": "application/json" },
        body: JSON.stringify({ settings: state.settings, scope }),
      });
      const body = await answer.json();
      if (askAgain) continue;
      if (answer.ok) {
        preview = body;
        showInForce();
        if (previewFailed) setStatus(edited ? "not saved yet" : "");
        previewFailed = false;
      } else {
        // The app's own line for the mistake, before a save is tried.
        previewFailed = true;
        setStatus(body.error ?? answer.statusText, "error");
      }
    } while (askAgain);
  } catch (error) {
    console.warn("kvdash: no preview", error);
  } finally {
    asking = false;
  }
}

// ---------------------------------------------------------------- the sweep

// The RPM LEDs through each gear as the app worked them out for the tables edited.
function sweep() {
  if (sweeping || !preview) return;
  const gears = preview.sweep, labels = preview.labels;
  let g = 0, step = 0;
  sweeping = true;
  $("try").disabled = true;
  const tick = () => {
    const { gear, shift, steps } = gears[g];
    const [rpm, lit] = steps[step];
    draw(parts, {
      gear: String(Math.min(gear, 9)),
      rpm: [...Array(RPM_LEDS).keys()].map((i) => (i < lit ? 1 : 0)),
      warnings: Array(WARNING_LEDS).fill(0),
      labels,
      left: String(rpm).padStart(6),
      right: String(Math.round(shift)).padStart(6),
      report: null,
    });
    info.textContent = `try it: gear ${gear}, shift at ${Math.round(shift)} rpm`;
    step += 1;
    if (step >= steps.length) { g += 1; step = 0; }
    if (g >= gears.length) {
      sweeping = false;
      $("try").disabled = false;
      info.textContent = "the sweep is over: the display as the app drives it";
      if (lastFrame) drawLive(lastFrame);
      return;
    }
    setTimeout(tick, 1000 / 30);
  };
  tick();
}

// ---------------------------------------------------------------- learning

function offer(tables) {
  const out = $("learned");
  out.replaceChildren();
  for (const kind of ["car", "game"]) {
    for (const [name, table] of Object.entries(tables[kind] ?? {})) {
      const row = document.createElement("p");
      const points = table.shift ?? [];
      row.append(`[${kind}.${kind === "car" ? JSON.stringify(name) : name}] shift ${
        points.length ? points.join(", ") : "(not enough data)"}, rev limit ${table.rpm_limit ?? "?"} `);
      if (points.length) {
        const use = document.createElement("button");
        use.type = "button";
        use.textContent = "use these";
        use.onclick = () => {
          scope = { kind, name };
          const target = tableOf(scope, true);
          target.shift = points;
          if (table.rpm_limit != null) target.rpm_limit = table.rpm_limit;
          render();
          setStatus("shift points set: save to keep them");
        };
        row.append(use);
      }
      out.append(row);
    }
  }
  if (!out.childElementCount) out.textContent = "nothing learnt: no car at full throttle in it";
}

async function learn() {
  const out = $("learned");
  out.textContent = "learning…";
  let answer = await fetch("/api/learn", {
    method: "POST", headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ recording: $("recording").value }),
  });
  let body = await answer.json();
  while (answer.ok && body.running) {
    await new Promise((done) => setTimeout(done, 400));
    answer = await fetch("/api/learn");
    body = await answer.json();
  }
  if (body.error) {
    out.replaceChildren(Object.assign(document.createElement("span"),
      { className: "error", textContent: body.error }));
  } else {
    offer(body.tables ?? {});
  }
}

// ---------------------------------------------------------------- wiring

$("scope").onchange = () => { scope = scopeOf($("scope").value); preview = null; render(); };
$("add").onclick = () => {
  const game = $("new-game").value, car = $("new-car").value.trim();
  scope = car ? { kind: "car", name: `${game}:${car}` } : { kind: "game", name: game };
  tableOf(scope, true);
  render();
};
$("save").onclick = save;
$("try").onclick = sweep;
$("learn").onclick = () => learn().catch((error) => { $("learned").textContent = String(error); });

// The display as the app drives it; with changes not saved yet, the warning
// LEDs named as the tables edited name them.
let lastFrame = null;
function drawLive(frame) {
  draw(parts, edited && preview ? { ...frame, labels: preview.labels } : frame);
  info.textContent = [frame.source, frame.car].filter(Boolean).join(" · ") || "no game yet";
}

let current = "";
follow((frame) => {
  lastFrame = frame;
  if (!sweeping) drawLive(frame);
  // A new game or car: offer its tables first.
  const now = `${frame.source}:${frame.car}`;
  if (state && frame.source && now !== current) {
    current = now;
    state.choices.current = { game: frame.source, car: frame.car || null };
    fillScopes();
  }
}, (online) => {
  document.documentElement.classList.toggle("offline", !online);
  if (!online && !sweeping) info.textContent = "the app is not answering: trying again…";
});

load().catch((error) => setStatus(`cannot read the settings: ${error}`, "error"));

// ---------------------------------------------------------------- your games

// What to set in each game comes from the app once (/api/games); what it
// hears, every second and a half (/api/status).
let games = [];
const DISPLAYS = { connected: "the SLI-PRO", virtual: "a virtual display", preview: "no display: preview only" };

function cell(text, kind) {
  const td = document.createElement("td");
  if (kind === "code") td.append(Object.assign(document.createElement("code"), { textContent: text }));
  else td.textContent = text;
  return td;
}

function drawStatus(status) {
  const heard = new Map(); // source -> [where, packets]
  for (const { source, where, packets } of status.listening) {
    const [places, count] = heard.get(source) ?? [[], 0];
    heard.set(source, [[...places, where], count + packets]);
  }
  const speaking = status.game;
  const car = status.car ? `, car ${status.car}` : "";
  $("hearing").textContent = (speaking ? `${speaking} speaks now${car}` :
    heard.size ? "listening: no game speaks now" : "listening to no game") +
    ` · ${DISPLAYS[status.display] ?? status.display}`;
  $("problems").replaceChildren(...(status.problems ?? []).map((line) =>
    Object.assign(document.createElement("li"), { textContent: line })));
  $("game-table").tBodies[0].replaceChildren(...games.map((g) => {
    const row = document.createElement("tr");
    const [places, packets] = heard.get(g.source) ?? [null, 0];
    row.className = g.source === speaking ? "speaking" : places ? (packets ? "heard" : "") : "silent";
    row.append(cell(g.games), cell(g.source, "code"),
      cell(places ? places.join(", ") : `not listening (${g.where})`),
      cell(places ? String(packets) : ""), cell(g.set));
    return row;
  }));
  $("messages").textContent = status.messages.join("\n");
}

async function poll() {
  try {
    if (!games.length) games = await (await fetch("/api/games")).json();
    const answer = await fetch("/api/status");
    if (!answer.ok) throw new Error(answer.statusText);
    drawStatus(await answer.json());
  } catch (error) {
    $("hearing").textContent = "the app is not answering: trying again…";
  }
  setTimeout(poll, 1500);
}
poll();
