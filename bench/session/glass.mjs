// Glass to glass: the flip window changes colour, and every watching page notes when its
// picture shows the new colour (watch.js). All pipelines watch the same flips at once.
import { setTimeout as sleep } from 'node:timers/promises';

/**
 * Far apart in every channel pair (at least 310 as a sum over the channels), so that a
 * half-decoded frame never passes for the next one.
 */
export const PALETTE = [[230, 40, 40], [40, 200, 60], [40, 60, 230], [235, 235, 235]];
const dist = (a, b) => a.reduce((s, v, i) => s + Math.abs(v - b[i]), 0);
/** How near a frame must be to a colour of the palette to show it: half the way to the nearest other. */
export const nearTo = (rgb) => Math.min(...PALETTE.filter((c) => c !== rgb).map((c) => dist(c, rgb))) / 2;
const WAIT_MS = 4000;

/** p-th quantile (0..1) of the sorted values, nearest rank. */
function quantile(sorted, p) {
  if (!sorted.length) return NaN;
  return sorted[Math.min(sorted.length - 1, Math.max(0, Math.round(p * (sorted.length - 1))))];
}

/** Median and the 10th and 90th percentiles; an endless value sorts last. */
export function summary(xs) {
  const s = [...xs].sort((a, b) => a - b);
  return { n: s.length, median: quantile(s, 0.5), p10: quantile(s, 0.1), p90: quantile(s, 0.9) };
}

/** What each page has reported through its kvSeen binding: flip id → {t, stages, changed, trace}. */
const sightings = new Map();

/** The page reports each sighting as it happens, so that nobody polls the watched pages. */
async function listen(page) {
  if (!sightings.has(page)) {
    const seen = new Map();
    sightings.set(page, seen);
    await page.exposeBinding('kvSeen', (_source, id, t, stages, more) => { seen.set(id, { t, stages, ...more }); });
  }
  return sightings.get(page);
}

/**
 * Runs n flips (after two unmeasured ones that settle encoders and decoders) and gives,
 * per watcher name, the delays in ms and the number of flips it did not show within
 * WAIT_MS. A flip not shown counts as an endless delay, so that a pipeline that falls
 * behind is not flattered by the flips it did show. Per shown flip also: the delay to the
 * first frame that was no longer the old colour (`changed`) and the colour error of each
 * frame until the colour was recognised (`traces`).
 * watchers: {name: playwright Page with kvWatch running}.
 */
export async function glassToGlass(flip, watchers, n) {
  const names = Object.keys(watchers);
  const seen = {};
  for (const k of names) seen[k] = await listen(watchers[k]);
  const out = Object.fromEntries(names.map((k) => [k, { delays: [], missed: 0, stages: [], changed: [], traces: [] }]));
  const base = Date.now() % 1e6;
  for (let i = -2; i < n; i++) {
    const id = base + i + 2;
    const rgb = PALETTE[(i + 2) % PALETTE.length];
    const from = PALETTE[(i + 1 + PALETTE.length) % PALETTE.length];
    await Promise.all(names.map((k) => watchers[k].evaluate((a) => window.kvWatch.expect(...a), [id, rgb, nearTo(rgb), from])));
    const at = await flip.paint(rgb);
    const end = Date.now() + WAIT_MS;
    while (Date.now() < end && !names.every((k) => seen[k].has(id))) await sleep(10);
    if (i < 0) continue;
    for (const k of names) {
      const s = seen[k].get(id);
      if (s) {
        out[k].delays.push(s.t - at);
        if (s.stages) out[k].stages.push({ ...s.stages, at, shown: s.t });
        if (s.changed) out[k].changed.push({ delay: s.changed.t - at, frames: s.trace.length });
        out[k].traces.push(s.trace);
      } else {
        // Not recognised: did the picture change at all?
        const w = await watchers[k].evaluate((id) => (window.kvWatch.want?.id === id ? window.kvWatch.want : null), id);
        if (w?.changed) out[k].changed.push({ delay: w.changed.t - at, frames: w.trace.length });
        out[k].traces.push(null);
        out[k].delays.push(Infinity);
        out[k].missed++;
      }
    }
    // A random pause, so that flips do not lock to any pipeline's frame cadence.
    await sleep(250 + Math.random() * 400);
  }
  return out;
}

const ms = (v) => (Number.isFinite(v) ? `${Math.round(v)} ms` : `>${WAIT_MS / 1000} s`);
export function describe(name, r) {
  const s = summary(r.delays);
  return `${name} ${ms(s.median)}, p10–p90 ${ms(s.p10)}–${ms(s.p90)}${r.missed ? `, ${r.missed} not shown within ${WAIT_MS / 1000} s` : ''}`;
}

/** ours/ref, or a bound when either never showed most flips. */
function ratio(o, r) {
  if (Number.isFinite(o) && Number.isFinite(r)) return `${(o / r).toFixed(2)}x`;
  if (Number.isFinite(o)) return `<${(o / WAIT_MS).toFixed(2)}x`;
  if (Number.isFinite(r)) return `>${(WAIT_MS / r).toFixed(2)}x`;
  return 'n/a';
}

/**
 * Where a pipeline's time goes, from the shown frame's own times: flip → captured (the
 * capturer's cadence), captured → last packet received (encode, pacing, transport), decode,
 * received → shown (decode, jitter buffer, compositing), and within it when the frame was
 * handed to the compositor and when it was due on the glass: "shown" is the start of the
 * page's rendering frame, which may lie before the frame came, so those two say where the
 * time really goes. A canvas viewer knows only when its last message came: flip →
 * received, received → shown. Medians of each stage.
 */
export function stagesLine(title, label, r) {
  const med = (st, f) => summary(st.map(f)).median;
  const webrtc = r.stages.filter((x) => x.captureTime && x.receiveTime);
  if (webrtc.length) {
    const st = webrtc;
    console.log(`${title}, ${label}, where the time goes (medians of ${st.length} flips): flip→captured ${ms(med(st, (x) => x.captureTime - x.at))}, captured→received ${ms(med(st, (x) => x.receiveTime - x.captureTime))}, decode ${ms(med(st, (x) => x.decodeMs ?? 0))}, received→shown ${ms(med(st, (x) => x.shown - x.receiveTime))} (handed to the compositor ${ms(med(st, (x) => x.presentationTime - x.receiveTime))}, due on the glass ${ms(med(st, (x) => x.expectedDisplayTime - x.receiveTime))})`);
    return;
  }
  const st = r.stages.filter((x) => x.receiveTime);
  if (st.length) console.log(`${title}, ${label}, where the time goes (medians of ${st.length} flips): flip→received ${ms(med(st, (x) => x.receiveTime - x.at))}, received→shown ${ms(med(st, (x) => x.shown - x.receiveTime))}`);
}

/**
 * Whether the delay is the picture's or the colour's: the first frame no longer the old
 * colour against the one recognised as the new, how many frames lay between, and the
 * colour error (sum over the channels; recognised below 155 to 187, by colour) of each
 * frame of the median flip.
 */
export function markerLine(title, label, r) {
  const shown = r.delays.map((d, i) => ({ d, i })).filter((x) => Number.isFinite(x.d));
  if (!r.changed.length) return;
  const between = summary(r.traces.filter(Boolean).map((t) => t.length - 1));
  const mid = shown.sort((a, b) => a.d - b.d)[Math.floor((shown.length - 1) / 2)];
  const trace = (mid && r.traces[mid.i]) ?? [];
  console.log(`${title}, ${label}, the marker frame by frame: first change ${ms(summary(r.changed.map((c) => c.delay)).median)} (${r.changed.length} of ${r.delays.length} flips changed within ${WAIT_MS / 1000} s), recognised ${ms(summary(r.delays).median)}; frames from the first sampled to the recognised one median ${between.median}, p90 ${between.p90}; colour error per frame of the median flip: ${trace.slice(-12).join(' ')}`);
}

/** One line per ratio: ours against each reference, with both medians and spreads. */
export function report(title, res, ours, refs) {
  const o = summary(res[ours.key].delays).median;
  for (const ref of refs) {
    const r = summary(res[ref.key].delays).median;
    console.log(`${title}, ${ours.label}/${ref.label}: ${ratio(o, r)} (${describe(ours.label, res[ours.key])}; ${describe(ref.label, res[ref.key])}; ${res[ours.key].delays.length} flips)`);
  }
}
