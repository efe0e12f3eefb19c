// The display page: the SLI-PRO as the app drives it (draw.js draws it).
// ?overlay=1: a transparent background; ?scale=N: N times its own size
// (1000 x 330 pixels at 1) rather than as large as the window allows;
// ?layout=leds: the LEDs and the gear only.
"use strict";

const query = new URLSearchParams(location.search);
const root = document.documentElement;
const overlay = query.get("overlay");
if (overlay && overlay !== "0") root.classList.add("overlay");
if (query.get("layout") === "leds") {
  root.classList.add("layout-leds");
  document.getElementById("display").setAttribute("viewBox", "0 0 1000 300");
}
const scale = Number.parseFloat(query.get("scale") ?? "");
if (Number.isFinite(scale)) {
  const clamped = Math.min(4, Math.max(0.1, scale));
  root.classList.add("scaled");
  root.style.setProperty("--scale", String(clamped));
}

const info = document.getElementById("info");
const parts = build(document.getElementById("display"));

follow((frame) => {
  draw(parts, frame);
  info.textContent = [frame.source, frame.car].filter(Boolean).join(" · ") || "no game yet";
}, (online) => {
  root.classList.toggle("offline", !online);
  if (!online) info.textContent = "the app is not answering: trying again…";
});

// On a phone: keep the screen on while the page shows (where the browser
// allows it: a secure context, such as this computer's own address).
const wake = document.getElementById("wake");
if ("wakeLock" in navigator && matchMedia("(pointer: coarse)").matches) {
  const box = wake.querySelector("input");
  let lock = null;
  const hold = async () => {
    try {
      lock = box.checked && document.visibilityState === "visible"
        ? await navigator.wakeLock.request("screen") : null;
    } catch (error) {
      box.checked = false;
      console.warn("kvdash: the screen cannot be kept on", error);
    }
  };
  box.addEventListener("change", () => {
    if (box.checked) hold();
    else if (lock) lock.release().then(() => { lock = null; });
  });
  // The browser lets the lock go when the page is hidden: take it again on return.
  document.addEventListener("visibilitychange", hold);
  wake.hidden = false;
}
