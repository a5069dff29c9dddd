"use strict";
// The proofreading page: the queue, the frame view and the corrections, over the server's JSON.

const TOKEN = document.querySelector('meta[name="herdmask-token"]').content;
const PAGE_SIZE = 50;
const $ = (id) => document.getElementById(id);

const state = {
  page: 0, items: [], total: 0, item: -1,
  link: null, frame: 0, objects: [], a: null, b: null,
  version: 0, corrections: [],
};

async function api(path, body) {
  const options = body === undefined ? {} : {
    method: "POST", body: JSON.stringify(body),
    headers: {"Content-Type": "application/json", "X-Herdmask-Token": TOKEN},
  };
  const response = await fetch(path, options);
  const data = await response.json().catch(() => ({error: response.statusText}));
  if (!response.ok) throw new Error(data.error || response.statusText);
  return data;
}

function q(params) {
  return new URLSearchParams(params).toString();
}

function say(text, error) {
  const m = $("message");
  m.textContent = text;
  m.className = error ? "error" : "";
}

// ------------------------------------------------------------------ the queue

async function loadQueue(page) {
  const data = await api("/api/queue?" + q({page, size: PAGE_SIZE}));
  state.page = data.page;
  state.items = data.items;
  state.total = data.total;
  $("queue-total").textContent = `${data.total}`;
  $("page-no").textContent = `page ${data.page + 1} of ${Math.max(1, Math.ceil(data.total / PAGE_SIZE))}`;
  $("scan").textContent = data.scanned < data.links
    ? `checking tracks: ${data.scanned} of ${data.links} links`
    : `tracks checked in all ${data.links} links` + (data.failed.length ? ` (${data.failed.length} could not be read)` : "");
  drawQueue();
  return data;
}

function drawQueue() {
  const list = $("queue");
  list.replaceChildren();
  const corrected = new Set(state.corrections.map((c) => `${c.camera}|${c.link}|${c.frame}`));
  state.items.forEach((item, i) => {
    const li = document.createElement("li");
    li.dataset.rank = item.rank;
    li.className = (i === state.item ? "current " : "") +
      (corrected.has(`${item.camera}|${item.link}|${item.frame}`) ? "corrected" : "");
    li.innerHTML = `<span class="score"></span> <span class="where"></span><div class="why"></div>`;
    li.querySelector(".score").textContent = item.score;
    li.querySelector(".where").textContent = `camera ${item.camera} · ${item.link} · frame ${item.frame}`;
    li.querySelector(".why").textContent = item.reasons.join(" ");
    li.addEventListener("click", () => openItem(i));
    list.appendChild(li);
  });
}

async function pollQueue() {
  const data = await loadQueue(state.page).catch(() => null);
  if (data && data.scanned < data.links) setTimeout(pollQueue, 1500);
}

async function openItem(i) {
  if (i < 0) return;
  if (i >= state.items.length) {
    if ((state.page + 1) * PAGE_SIZE >= state.total) return;
    await loadQueue(state.page + 1);
    i = 0;
  }
  state.item = i;
  drawQueue();
  const item = state.items[i];
  await openLink(item.camera, item.link, item.frame, item.swap || item.keys.slice(0, 2));
}

// ------------------------------------------------------------------ the frame view

async function openLink(camera, link, frame, keys) {
  const info = await api("/api/link?" + q({camera, link}));
  state.link = info;
  $("placeholder").hidden = true;
  $("view").hidden = false;
  $("link-name").textContent = `camera ${camera} · ${info.link} (${info.frames} frames, ${info.started || info.status})`;
  for (const [id, other] of [["link-before", info.before], ["link-after", info.after]]) {
    $(id).disabled = !other;
    $(id).querySelector("span").textContent = other || "";
  }
  $("scrubber").max = Math.max(0, info.frames - 1);
  const overlay = $("overlay");
  overlay.replaceChildren();
  if (info.overlay) {
    const video = document.createElement("video");
    video.controls = true;
    video.preload = "metadata";
    video.src = "/files/" + info.overlay.split("/").map(encodeURIComponent).join("/");
    overlay.appendChild(video);
  } else {
    overlay.textContent = `Not rendered yet: herdmask render RUN_DIR --camera ${camera} makes it.`;
  }
  state.a = state.b = null;
  await showFrame(frame, keys);
}

async function showFrame(frame, keys) {
  const link = state.link;
  if (!link) return;
  frame = Math.max(0, Math.min(link.frames - 1, frame));
  state.frame = frame;
  $("scrubber").value = frame;
  $("frame-no").textContent = `frame ${frame} of ${link.frames - 1}`;
  $("wrong-from").value = frame;
  $("wrong-to").value = frame;
  const where = {camera: link.camera, link: link.link, frame};
  $("frame").src = "/frame.jpg?" + q({...where, v: state.version});
  const reasons = link.moments.filter((m) => m.frame === frame).flatMap((m) => m.reasons);
  $("reasons").textContent = reasons.join(" ");
  try {
    const data = await api("/api/frame?" + q(where));
    if (state.frame !== frame) return;
    state.objects = data.objects;
  } catch (e) {
    state.objects = [];
    say(e.message, true);
  }
  if (keys) {
    const tracks = keys.map((k) => (state.objects.find((o) => o.key === k) || {}).track).filter((t) => t);
    state.a = tracks[0] || null;
    state.b = tracks[1] || null;
  }
  drawAnimals();
}

function drawAnimals() {
  const box = $("animals");
  box.replaceChildren();
  const shown = new Set();
  for (const o of state.objects) {
    const chip = document.createElement("span");
    chip.className = "animal" + (o.wrong ? " wrong" : "") + (o.track === state.a && !o.wrong ? " a" : "") +
      (o.track === state.b && !o.wrong ? " b" : "");
    chip.dataset.track = o.track;
    chip.dataset.key = o.key;
    chip.innerHTML = `<span class="dot"></span>`;
    chip.querySelector(".dot").style.background = o.colour;
    chip.append(`${o.track}` + (o.track !== o.run_track ? ` (was ${o.run_track})` : "") + ` · ${o.key}`);
    chip.title = o.wrong ? "marked wrong here" : "click: A, shift-click: B";
    if (!o.wrong) chip.addEventListener("click", (e) => choose(o.track, e.shiftKey));
    box.appendChild(chip);
    if (!o.wrong) shown.add(o.track);
  }
  const a = state.a !== null && shown.has(state.a);
  document.querySelectorAll("#actions .a").forEach((el) => { el.textContent = state.a ?? "A"; });
  document.querySelectorAll("#actions .b").forEach((el) => { el.textContent = state.b ?? "B"; });
  $("do-swap").disabled = !(a && state.b !== null && state.b !== state.a);
  $("do-new").disabled = !a;
  $("do-wrong").disabled = !a;
}

function choose(track, second) {
  if (second) state.b = track === state.b ? null : track;
  else state.a = track === state.a ? null : track;
  drawAnimals();
}

// The frame fills the space it has, small frames scaled up, the shape kept.
function fitFrame() {
  const img = $("frame");
  if (!img.naturalWidth) return;
  const room = $("picture").clientWidth;
  const scale = Math.min(room / img.naturalWidth, (0.62 * window.innerHeight) / img.naturalHeight);
  img.style.width = `${Math.floor(img.naturalWidth * scale)}px`;
  img.style.height = `${Math.floor(img.naturalHeight * scale)}px`;
}
$("frame").addEventListener("load", fitFrame);
window.addEventListener("resize", fitFrame);

$("frame").addEventListener("click", (e) => {
  const img = e.target;
  const x = (e.offsetX * img.naturalWidth) / img.clientWidth;
  const y = (e.offsetY * img.naturalHeight) / img.clientHeight;
  const hit = state.objects
    .filter((o) => !o.wrong && o.box[0] <= x && x <= o.box[2] && o.box[1] <= y && y <= o.box[3])
    .sort((p, r) => (p.box[2] - p.box[0]) * (p.box[3] - p.box[1]) - (r.box[2] - r.box[0]) * (r.box[3] - r.box[1]));
  if (hit.length) choose(hit[0].track, e.shiftKey);
});

// ------------------------------------------------------------------ corrections

async function loadCorrections() {
  const data = await api("/api/corrections");
  showCorrections(data);
}

function showCorrections(data) {
  state.corrections = data.in_force;
  state.version = data.version;
  $("corrections-count").textContent = `${data.in_force.length}` + (data.undone ? `, ${data.undone} undone` : "");
  const list = $("corrections");
  list.replaceChildren();
  for (const c of [...data.in_force].reverse()) {
    const li = document.createElement("li");
    li.innerHTML = `<span class="what"></span> <button class="undo">undo</button><div class="meta"></div>`;
    li.querySelector(".what").textContent = `camera ${c.camera}: ${c.what}`;
    li.querySelector(".meta").textContent = `${c.who}, ${c.when}`;
    li.querySelector(".undo").addEventListener("click", () => correct({kind: "undo", undoes: c.id}));
    list.appendChild(li);
  }
  $("do-undo").disabled = data.in_force.length === 0;
}

async function correct(request) {
  request.who = $("who").value.trim() || undefined;
  try {
    const data = await api("/api/corrections", request);
    say(request.kind === "undo" ? "Undone." : `Kept: ${data.corrections.in_force.slice(-1)[0].what}.`);
    showCorrections(data.corrections);
    drawQueue();
    if (state.link) await showFrame(state.frame);
  } catch (e) {
    say(e.message, true);
  }
}

function here() {
  return {camera: state.link.camera, link: state.link.link, frame: state.frame, track: state.a};
}

$("do-swap").addEventListener("click", () => correct({kind: "swap", ...here(), other: state.b}));
$("do-new").addEventListener("click", () => correct({kind: "new-id", ...here()}));
$("do-wrong").addEventListener("click", () => correct({
  kind: "wrong-mask", ...here(), frame: Number($("wrong-from").value),
  end_link: state.link.link, end_frame: Number($("wrong-to").value),
}));
$("do-undo").addEventListener("click", () => {
  const last = state.corrections[state.corrections.length - 1];
  if (last) correct({kind: "undo", undoes: last.id});
});

// ------------------------------------------------------------------ moving about

$("scrubber").addEventListener("input", (e) => showFrame(Number(e.target.value)));
$("frame-prev").addEventListener("click", () => showFrame(state.frame - 1));
$("frame-next").addEventListener("click", () => showFrame(state.frame + 1));
$("link-before").addEventListener("click", () => state.link && openLink(state.link.camera, state.link.before, 0));
$("link-after").addEventListener("click", () => state.link && openLink(state.link.camera, state.link.after, 0));
$("page-prev").addEventListener("click", () => state.page > 0 && loadQueue(state.page - 1));
$("page-next").addEventListener("click", () => (state.page + 1) * PAGE_SIZE < state.total && loadQueue(state.page + 1));

document.addEventListener("keydown", (e) => {
  if (e.target.tagName === "INPUT" && e.target.type !== "range") return;
  const keys = {
    ArrowLeft: () => showFrame(state.frame - 1),
    ArrowRight: () => showFrame(state.frame + 1),
    j: () => openItem(state.item + 1),
    k: () => openItem(state.item - 1),
    "[": () => state.link && state.link.before && openLink(state.link.camera, state.link.before, 0),
    "]": () => state.link && state.link.after && openLink(state.link.camera, state.link.after, 0),
    s: () => !$("do-swap").disabled && $("do-swap").click(),
    n: () => !$("do-new").disabled && $("do-new").click(),
    u: () => $("do-undo").click(),
  };
  const act = keys[e.key];
  if (!act) return;
  e.preventDefault();
  act();
});

$("who").value = localStorage.getItem("herdmask-who") || "";
$("who").addEventListener("change", () => localStorage.setItem("herdmask-who", $("who").value.trim()));

(async () => {
  const run = await api("/api/run");
  $("run").textContent = run.out;
  showCorrections(run.corrections);
  if (run.stale.length) {
    $("stale").textContent = "No longer apply: " + run.stale.map((s) => `${s.what} (${s.why})`).join("; ");
  }
  await pollQueue();
  // The address's token has been set as a cookie: take it out of the address bar.
  history.replaceState(null, "", "/");
})();
