// The page: plays a file, the microphone or a tab's sound, and draws the module's frame for
// the sample being heard into the canvas at the display's pixel size. Without any audio it
// shows the built-in demo, silently, until Play. ?background=black shows the scene's light
// alone, ?background=transparent its light with straight alpha over whatever is behind the
// page (a browser source in a streaming program, say).
import { BACKGROUNDS, createVisualiser, WINDOW_SAMPLES } from './nimbrelle.js';

const $ = (id) => document.getElementById(id);
const canvas = $('view');
const message = $('message');

const asked = new URLSearchParams(window.location.search).get('background');
const background = asked === null || BACKGROUNDS.includes(asked) ? (asked ?? 'blue') : 'blue';
// The page's own colours follow (style.css); the canvas has alpha only when asked for it.
document.documentElement.classList.add(`background-${background}`);
const context = canvas.getContext('2d', { alpha: background === 'transparent' });

const visualiser = await createVisualiser({ background });
let audio = null;            // the AudioContext, made at the first gesture that needs sound
let source = null;           // { kind: 'demo' | 'file' | 'live', name, ... }
let playing = null;          // { node, startedAt (context time), offset (seconds) } while playing
let position = 0;            // seconds into the file or demo while paused
let silentClock = performance.now();  // the demo's clock before any sound plays
let live = null;             // { stream, analysers: [left, right], buffers, started }

/** What the page exposes for tests and embedding (see docs/web.md). */
window.nimbrelle = { visualiser, frames: 0, source: 'demo', position: 0, error: null, background };

function showMessage(text) {
  message.textContent = text;
  message.hidden = !text;
  window.nimbrelle.error = text || null;
}

function formatTime(seconds) {
  const s = Math.max(0, Math.floor(seconds));
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
}

function audioContext() {
  if (audio === null) audio = new AudioContext({ latencyHint: 'interactive' });
  return audio;
}

// The context time of the sample leaving the speakers now: what the frame must show.
function heardTime() {
  const stamp = audio.getOutputTimestamp ? audio.getOutputTimestamp() : null;
  if (stamp && stamp.performanceTime > 0) {
    return stamp.contextTime + (performance.now() - stamp.performanceTime) / 1000;
  }
  return audio.currentTime - (audio.baseLatency || 0) - (audio.outputLatency || 0);
}

function currentPosition() {
  if (playing) return Math.min(source.duration, playing.offset + Math.max(0, heardTime() - playing.startedAt));
  if (source.kind === 'demo' && !audio) return ((performance.now() - silentClock) / 1000) % source.duration;
  return position;
}

function stopPlayback() {
  if (!playing) return;
  position = currentPosition();
  playing.node.onended = null;
  playing.node.stop();
  playing.node.disconnect();
  playing = null;
  $('play').textContent = 'Play';
}

function startPlayback(offset) {
  stopPlayback();
  const ctx = audioContext();
  const node = new AudioBufferSourceNode(ctx, { buffer: source.buffer });
  node.connect(ctx.destination);
  position = Math.min(Math.max(0, offset), source.duration);
  node.start(0, position);
  playing = { node, startedAt: ctx.currentTime, offset: position };
  node.onended = () => {
    if (playing && playing.node === node) {
      playing = null;
      position = 0;
      $('play').textContent = 'Play';
    }
  };
  $('play').textContent = 'Pause';
  if (ctx.state === 'suspended') ctx.resume();
}

function stopLive() {
  if (!live) return;
  for (const track of live.stream.getTracks()) track.stop();
  live.input.disconnect();
  live = null;
  $('mic').setAttribute('aria-pressed', 'false');
  $('tab').setAttribute('aria-pressed', 'false');
}

function useSource(next) {
  stopPlayback();
  stopLive();
  source = next;
  position = 0;
  window.nimbrelle.source = next.kind;
  $('source').textContent = next.name;
  $('seek').disabled = next.kind === 'live';
  $('play').disabled = next.kind === 'live';
}

function useDemo() {
  const demo = visualiser.useDemo(48000);
  useSource({ kind: 'demo', name: 'demo', duration: visualiser.duration, demo, buffer: null });
}

async function openFile(file) {
  showMessage('');
  let buffer;
  try {
    const bytes = await file.arrayBuffer();
    buffer = await audioContext().decodeAudioData(bytes);
  } catch (error) {
    showMessage(`Cannot play ${file.name}: the browser could not decode it as audio (${error.message || error.name}).`);
    return;
  }
  if (buffer.length === 0) {
    showMessage(`Cannot play ${file.name}: it holds no samples.`);
    return;
  }
  try {
    visualiser.setAudioBuffer(buffer);
  } catch (error) {
    showMessage(`Cannot play ${file.name}: ${error.message}.`);
    useDemo();
    return;
  }
  useSource({ kind: 'file', name: file.name, duration: buffer.duration, buffer });
  startPlayback(0);
}

async function listen(kind) {
  showMessage('');
  let stream;
  try {
    if (kind === 'mic') {
      stream = await navigator.mediaDevices.getUserMedia({
        audio: { echoCancellation: false, noiseSuppression: false, autoGainControl: false },
      });
    } else {
      stream = await navigator.mediaDevices.getDisplayMedia({ video: true, audio: true });
      for (const track of stream.getVideoTracks()) track.stop();
      if (stream.getAudioTracks().length === 0) {
        showMessage('The shared tab gives no sound: choose a tab and tick "Share tab audio".');
        return;
      }
    }
  } catch (error) {
    showMessage(`No ${kind === 'mic' ? 'microphone' : 'tab audio'}: ${error.message || error.name}.`);
    return;
  }
  const ctx = audioContext();
  if (ctx.state === 'suspended') await ctx.resume();
  useSource({ kind: 'live', name: kind === 'mic' ? 'microphone' : 'tab audio', duration: 0 });
  const input = new MediaStreamAudioSourceNode(ctx, { mediaStream: stream });
  // Two channels whatever the input has: a mono input is up-mixed to both sides, as speakers do.
  const stereo = new GainNode(ctx, { channelCount: 2, channelCountMode: 'explicit', channelInterpretation: 'speakers' });
  const splitter = new ChannelSplitterNode(ctx, { numberOfOutputs: 2 });
  input.connect(stereo).connect(splitter);
  const analysers = [0, 1].map((side) => {
    const node = new AnalyserNode(ctx, { fftSize: WINDOW_SAMPLES });
    splitter.connect(node, side);
    return node;
  });
  live = {
    stream, input, analysers, started: performance.now(),
    buffers: [new Float32Array(WINDOW_SAMPLES), new Float32Array(WINDOW_SAMPLES)],
  };
  $(kind === 'mic' ? 'mic' : 'tab').setAttribute('aria-pressed', 'true');
  for (const track of stream.getAudioTracks()) track.addEventListener('ended', () => { if (live?.stream === stream) useDemo(); });
}

// Frame statistics over the last second.
const stats = { frames: 0, milliseconds: 0, since: performance.now() };

function frame() {
  const dpr = window.devicePixelRatio || 1;
  const width = Math.max(1, Math.round(canvas.clientWidth * dpr));
  const height = Math.max(1, Math.round(canvas.clientHeight * dpr));
  if (canvas.width !== width || canvas.height !== height) {
    canvas.width = width;
    canvas.height = height;
  }
  const begin = performance.now();
  if (live) {
    // The samples the context has most recently rendered: the latest 512 of each side.
    live.analysers[0].getFloatTimeDomainData(live.buffers[0]);
    live.analysers[1].getFloatTimeDomainData(live.buffers[1]);
    visualiser.liveRecord(live.buffers[0], live.buffers[1], performance.now() - live.started);
  } else {
    window.nimbrelle.position = currentPosition();
    visualiser.computeRecordAt(window.nimbrelle.position);
  }
  visualiser.drawTo(context);
  const spent = performance.now() - begin;
  window.nimbrelle.frames += 1;

  stats.frames += 1;
  stats.milliseconds += spent;
  const now = performance.now();
  if (now - stats.since >= 1000) {
    const fps = (stats.frames * 1000) / (now - stats.since);
    $('stats').textContent = `${fps.toFixed(0)} fps · ${(stats.milliseconds / stats.frames).toFixed(2)} ms/frame · ` +
      `${width}×${height}${visualiser.simd ? ' · SIMD' : ''}`;
    stats.frames = 0;
    stats.milliseconds = 0;
    stats.since = now;
  }
  if (!live && source.duration > 0) {
    const at = currentPosition();
    if (document.activeElement !== $('seek')) $('seek').value = String(at / source.duration);
    $('time').textContent = `${formatTime(at)} / ${formatTime(source.duration)}`;
  } else {
    $('time').textContent = '';
  }
  requestAnimationFrame(frame);
}

function togglePlay() {
  if (source.kind === 'live') return;
  if (playing) {
    stopPlayback();
    return;
  }
  if (source.kind === 'demo' && !source.buffer) {
    const { channels, sampleRate } = source.demo;
    source.buffer = new AudioBuffer({ numberOfChannels: 2, length: channels[0].length, sampleRate });
    channels.forEach((samples, c) => source.buffer.copyToChannel(samples, c));
    if (!audio) position = currentPosition();
  }
  startPlayback(position >= source.duration ? 0 : position);
}

function snapshot() {
  canvas.toBlob((blob) => {
    if (!blob) return;
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = `nimbrelle-${new Date().toISOString().replace(/[:.]/g, '-')}.png`;
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
  }, 'image/png');
}

function toggleFullscreen() {
  if (document.fullscreenElement) document.exitFullscreen();
  else $('stage').requestFullscreen().catch((error) => showMessage(`No fullscreen: ${error.message}`));
}

$('file').addEventListener('change', (event) => {
  const [file] = event.target.files;
  if (file) openFile(file);
  event.target.value = '';
});
$('play').addEventListener('click', togglePlay);
$('seek').addEventListener('input', (event) => {
  const at = Number(event.target.value) * source.duration;
  if (playing) startPlayback(at);
  else {
    position = at;
    if (source.kind === 'demo' && !audio) silentClock = performance.now() - at * 1000;
  }
});
$('mic').addEventListener('click', () => (live && source.name === 'microphone' ? useDemo() : listen('mic')));
$('tab').addEventListener('click', () => (live && source.name === 'tab audio' ? useDemo() : listen('tab')));
if (!navigator.mediaDevices?.getDisplayMedia) $('tab').hidden = true;
if (!navigator.mediaDevices?.getUserMedia) $('mic').hidden = true;
$('snapshot').addEventListener('click', snapshot);
$('fullscreen').addEventListener('click', toggleFullscreen);
document.addEventListener('keydown', (event) => {
  // A focused button or field takes its own keys (space on a button clicks it already).
  if (event.target instanceof HTMLInputElement || event.target instanceof HTMLButtonElement) return;
  if (event.key === ' ') {
    event.preventDefault();
    togglePlay();
  } else if (event.key === 'f') {
    toggleFullscreen();
  }
});
document.addEventListener('dragover', (event) => {
  event.preventDefault();
  document.body.classList.add('dragging');
});
document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
document.addEventListener('drop', (event) => {
  event.preventDefault();
  document.body.classList.remove('dragging');
  const [file] = event.dataTransfer.files;
  if (file) openFile(file);
});

useDemo();
if (background !== asked && asked !== null) {
  showMessage(`Unknown background "${asked}": use ${BACKGROUNDS.join(', ')}. Showing blue.`);
}
requestAnimationFrame(frame);
