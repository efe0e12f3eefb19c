// The settings page: edits the settings file's tables (from /api/settings,
// which also says what each key may hold), saves them back, and beside them
// draws the display as the app drives it, or a sweep of the RPM LEDs through
// the shift points being edited.
"use strict";

const $ = (id) => document.getElementById(id);
const parts = build($("display"));
const info = $("info");
let state = null; // {file, settings, choices} as the app sent them
let scope = null; // {kind: "top" | "game" | "car", name}
let sweeping = false;

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

// The current car first, then the current game, then every table there is.
function fillScopes() {
  const { game, car } = state.choices.current;
  const options = [];
  if (game && car) options.push([`car:${game}:${car}`, `this car: ${game}:${car}`]);
  if (game) options.push([`game:${game}`, `this game: ${game}`]);
  options.push(["top", "every game (the top level)"]);
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
  $("new-game").replaceChildren(...state.choices.games.map((g) => new Option(g, g)));
  if (game) $("new-game").value = game;
}

function put(key, value) {
  const table = tableOf(scope, value !== undefined);
  if (value === undefined) delete table[key];
  else table[key] = value;
  setStatus("not saved yet");
}

function numberOf(text) {
  const value = Number(text);
  return text.trim() === "" || !Number.isFinite(value) ? undefined : value;
}

function field(key, spec, value) {
  const row = document.createElement("div");
  row.className = `row key-${key}`;
  const name = document.createElement("span");
  name.textContent = key;
  row.append(name);
  const place = document.createElement("span");
  row.append(place);
  const def = state.choices.defaults[key];
  if (spec.kind === "choice" || spec.kind === "bool") {
    const select = document.createElement("select");
    select.dataset.key = key;
    const choices = spec.kind === "bool" ? ["true", "false"] : spec.choices;
    select.append(new Option(`(not set${def != null ? `: ${def}` : ""})`, ""),
      ...choices.map((c) => new Option(c, c)));
    select.value = value === undefined ? "" : String(value);
    select.onchange = () => put(key, select.value === "" ? undefined
      : spec.kind === "bool" ? select.value === "true" : select.value);
    place.append(select);
  } else if (spec.kind === "number" || spec.kind === "text") {
    const input = document.createElement("input");
    input.dataset.key = key;
    input.value = value === undefined ? "" : String(value);
    input.placeholder = def != null ? String(def) : "";
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
        points.push(points.length ? points[points.length - 1] : state.choices.rpm.shift);
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
    };
    redraw();
  } else if (spec.kind === "leds") {
    place.className = "leds";
    const set = document.createElement("input");
    set.type = "checkbox";
    set.dataset.key = key;
    set.checked = Array.isArray(value);
    set.title = "set here";
    const shown = Array.isArray(value) ? [...value] : [...def];
    const selects = shown.map((name, i) => {
      const select = document.createElement("select");
      select.append(...spec.choices.map((c) => new Option(c, c)));
      select.value = name;
      select.disabled = !set.checked;
      select.onchange = () => { shown[i] = select.value; put(key, [...shown]); };
      return select;
    });
    set.onchange = () => {
      selects.forEach((s) => { s.disabled = !set.checked; });
      put(key, set.checked ? [...shown] : undefined);
    };
    place.append(set, ...selects);
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
}

async function load() {
  const answer = await fetch("/api/settings");
  const body = await answer.json();
  if (!answer.ok) throw new Error(body.error ?? answer.statusText);
  state = body;
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
    render();
    setStatus(`saved to ${state.file}: the display follows`, "ok");
  } catch (error) {
    setStatus(`not saved: ${error}`, "error");
  }
}

// ---------------------------------------------------------------- the sweep

// The settings in force for the scope edited: the top level, its game, its car.
function inForce() {
  const layers = [state.choices.defaults, state.settings];
  if (scope.kind !== "top") {
    const game = scope.kind === "game" ? scope.name : scope.name.split(":")[0];
    layers.push(state.settings.game?.[game] ?? {});
    if (scope.kind === "car") layers.push(tableOf(scope, false));
  }
  const out = {};
  for (const layer of layers) {
    if ("rpm_shift" in layer && !("shift" in layer)) out.shift = [];
    Object.assign(out, layer);
  }
  return out;
}

// As the app lights them: none at the start, all at the shift point.
function rpmLeds(rpm, start, shift) {
  if (rpm >= shift) return RPM_LEDS;
  if (rpm <= start || shift <= start) return 0;
  return Math.min(RPM_LEDS, Math.floor(RPM_LEDS * (rpm - start) / (shift - start)) + 1);
}

function sweep() {
  if (sweeping || !state) return;
  const v = inForce();
  const points = (Array.isArray(v.shift) ? v.shift : []).map(Number).filter(Number.isFinite);
  // Where the user sets none: from the rev limit, else the app's default.
  const known = state.choices.rpm;
  const single = v.rpm_shift != null ? Number(v.rpm_shift)
    : v.rpm_limit != null ? Number(v.rpm_limit) * known.shift_share : known.shift;
  const gears = Math.max(points.length, 3);
  const shiftFor = (g) => (points.length ? points[Math.min(g, points.length) - 1] : single);
  const STEPS = 45, OVER = 6; // frames a gear, and past the shift point (flashing)
  let gear = 1, step = 0;
  sweeping = true;
  $("try").disabled = true;
  const tick = () => {
    const shift = shiftFor(gear);
    const start = v.rpm_start != null ? Number(v.rpm_start) : shift * known.start_share;
    const low = Math.max(0, start - 0.1 * (shift - start));
    const rpm = low + (shift - low) * step / STEPS;
    const lit = step > STEPS ? (step % 2 ? RPM_LEDS : 0) : rpmLeds(rpm, start, shift);
    draw(parts, {
      gear: String(Math.min(gear, 9)),
      rpm: [...Array(RPM_LEDS).keys()].map((i) => (i < lit ? 1 : 0)),
      warnings: [0, 0, 0, 0, 0, 0],
      left: String(Math.round(rpm)).padStart(6),
      right: String(Math.round(shift)).padStart(6),
      report: null,
    });
    info.textContent = `try it: gear ${gear}, shift at ${Math.round(shift)} rpm`;
    step += 1;
    if (step > STEPS + OVER) { gear += 1; step = 0; }
    if (gear > gears) {
      sweeping = false;
      $("try").disabled = false;
      info.textContent = "the sweep is over: the display as the app drives it";
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

$("scope").onchange = () => { scope = scopeOf($("scope").value); render(); };
$("add").onclick = () => {
  const game = $("new-game").value, car = $("new-car").value.trim();
  scope = car ? { kind: "car", name: `${game}:${car}` } : { kind: "game", name: game };
  tableOf(scope, true);
  render();
};
$("save").onclick = save;
$("try").onclick = sweep;
$("learn").onclick = () => learn().catch((error) => { $("learned").textContent = String(error); });

let current = "";
follow((frame) => {
  if (!sweeping) {
    draw(parts, frame);
    info.textContent = [frame.source, frame.car].filter(Boolean).join(" · ") || "no game yet";
  }
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
