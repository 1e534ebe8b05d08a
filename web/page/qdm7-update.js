// The page's script: the port list, the buttons, what the update shows, and
// the hooks the engine's C++ calls (Module.page, web/page_view.h). The
// engine itself (createQdm7Engine) is the module built from web/ and the
// engine, in the same page.
'use strict';
(function () {
  const $ = id => document.getElementById(id);

  // As web/page_run.h and engine/job.h number them.
  const RESULT = { COMPLETED: 0, FAILED: 1, ECHOING: 2, CANCELLED: 3, ERROR: 4 };
  const PROGRAMMING = 3;
  const NOTE = { HINT: 0, LOST: 1, UNOPENABLE: 2, RESTARTING: 3 };
  // As qdm7-flash waits for a lost port: how often it looks, and how long a
  // port still listed after the loss is left alone (it may be on its way out).
  const RECONNECT_POLL_MS = 200;
  const RECONNECT_SETTLE_MS = 1000;
  // The trace panel keeps the last this many characters.
  const TRACE_LIMIT = 4 * 1024 * 1024;

  // For tests and users' scripts: what the page is doing (see docs/web.md).
  const page = window.qdm7Page = {
    state: 'loading', // loading, no-serial, idle, running, waiting (for a lost port), done
    statuses: [],     // the status texts of the current or last update, in order
    statusTimes: [],  // when each came, in milliseconds from the press of "Update Firmware"
    result: '',       // "Programming Completed" or "FAILED" once an update has ended
    cause: '',
    updates: 0,       // updates ended since the page was loaded
    // trace: the whole trace (getter below), also while its panel is closed
  };
  Object.defineProperty(page, 'trace', { get: () => traceText });

  let engine = null;
  let serial = null;  // the engine's port list and lines (platform/web/web_serial.js)
  let cancelRequested = false;
  let loss = null;    // the lost port being waited for
  let portsAtStart = new Set(); // the list when the update began
  let traceText = '';
  let traceShown = 0;
  let traceTimer = 0;
  let programmingSince = null; // [time, block] when this attempt's programming began

  function show(id, text) {
    const element = $(id);
    element.textContent = text;
    element.hidden = text === '';
  }

  let startedAt = performance.now();

  function setStatus(text) {
    $('status').value = text;
    page.statuses.push(text);
    page.statusTimes.push(Math.round(performance.now() - startedAt));
  }

  // Trace pieces come often (a line in several pieces); the panel is
  // redrawn at most ten times a second.
  function addTrace(text) {
    traceText += text;
    if (traceText.length > TRACE_LIMIT)
      traceText = traceText.slice(traceText.length - TRACE_LIMIT / 2);
    if (!traceTimer)
      traceTimer = setTimeout(drawTrace, 100);
  }

  // A closed panel is drawn when it is opened: no layout for it meanwhile.
  function drawTrace() {
    traceTimer = 0;
    if (traceShown === traceText.length || !$('trace-panel').open)
      return;
    const panel = $('trace');
    const atEnd = panel.scrollTop + panel.clientHeight >= panel.scrollHeight - 4;
    panel.textContent = traceText;
    traceShown = traceText.length;
    if (atEnd)
      panel.scrollTop = panel.scrollHeight;
  }

  function sleep(ms) {
    return new Promise(resolve => setTimeout(resolve, ms));
  }

  // --- The port list -------------------------------------------------------------------------

  function hex4(value) {
    return value.toString(16).padStart(4, '0');
  }

  function portLabel(port, index) {
    const info = port.getInfo();
    if (info.usbVendorId !== undefined)
      return `${index + 1}: USB serial port ${hex4(info.usbVendorId)}:${hex4(info.usbProductId)}`;
    return `${index + 1}: serial port`;
  }

  // The ports the browser lets this page use, in the order first seen: a
  // list position stays that port's number while the page is open, which is
  // how the engine names the port it updates. Ports gone are dropped while
  // no update runs.
  async function refreshPorts() {
    const granted = await navigator.serial.getPorts();
    const kept = serial.ports.filter(port => page.state === 'running' || page.state === 'waiting' ||
                                             granted.includes(port));
    for (const port of granted) {
      if (!kept.includes(port))
        kept.push(port);
    }
    const list = $('port-list');
    const chosen = serial.ports[list.selectedIndex];
    serial.ports.length = 0;
    serial.ports.push(...kept);
    list.textContent = '';
    kept.forEach((port, index) => {
      const option = document.createElement('option');
      option.value = String(index);
      option.textContent = portLabel(port, index) + (granted.includes(port) ? '' : ' (gone)');
      list.appendChild(option);
    });
    if (kept.length === 0) {
      const option = document.createElement('option');
      option.textContent = 'No port yet: press "Another port..."';
      option.value = '-1';
      list.appendChild(option);
    }
    const again = kept.indexOf(chosen);
    list.selectedIndex = again >= 0 ? again : 0;
    updateControls();
  }

  async function choosePort() {
    let port;
    try {
      port = await navigator.serial.requestPort();
    } catch (error) {
      return; // the chooser was closed without a choice
    }
    await refreshPorts();
    $('port-list').selectedIndex = serial.ports.indexOf(port);
  }

  function updateControls() {
    const busy = page.state === 'running' || page.state === 'waiting';
    const usable = engine !== null && page.state !== 'no-serial';
    $('update-button').disabled = busy || !usable || !serial || serial.ports.length === 0;
    $('choose-port').disabled = busy || !usable;
    $('port-list').disabled = busy || !usable;
    $('cancel-button').hidden = !busy;
  }

  // --- While an update runs: the engine's hooks --------------------------------------------

  // Drawn only when something shown changes: a redraw costs the page's one
  // thread time that the update's reads need.
  let shown = '';

  function progress(state, done, total, resends) {
    const now = performance.now();
    if (state !== PROGRAMMING) {
      if (state < PROGRAMMING)
        programmingSince = null;
    } else if (!programmingSince) {
      programmingSince = [now, done];
    }
    let left = '';
    if (state === PROGRAMMING) {
      const [since, first] = programmingSince;
      left = '--:-- left';
      if (done > first && now > since) {
        const seconds = Math.round((total - done) * (now - since) / (done - first) / 1000);
        left = `${Math.floor(seconds / 60)}:${String(seconds % 60).padStart(2, '0')} left`;
      }
    }
    const drawn = [done, total, resends, state === PROGRAMMING, left].join();
    if (drawn === shown)
      return;
    shown = drawn;
    const bar = $('progress');
    bar.max = total;
    bar.value = done;
    show('progress-text', `${done}/${total} blocks`);
    show('resends', `${resends} request${resends === 1 ? '' : 's'} resent`);
    show('time-left', left);
    if (state === PROGRAMMING && page.state === 'running' && $('hint').textContent !== '')
      show('hint', '');
  }

  let lostText = '';

  function note(kind, text) {
    addTrace(` . ${text}\n`);
    if (kind === NOTE.LOST) {
      page.state = 'waiting';
      lostText = text;
      show('time-left', '');
    }
    if (kind === NOTE.RESTARTING) {
      page.state = 'running';
      loss = null;
      programmingSince = null;
    }
    // While the wait goes on, what it waits for stays in view.
    show('hint', kind === NOTE.UNOPENABLE ? `${lostText}\n${text}` : text);
    updateControls();
  }

  function sameKind(a, b) {
    return a.usbVendorId === b.usbVendorId && a.usbProductId === b.usbProductId;
  }

  // The lost port's device back: the lost port itself once it was seen gone
  // (or after a while), or a port of the same kind (a browser names no
  // serial numbers) that was not in the list when the update began, the
  // newest first, each in turn while one cannot be opened. -1 once
  // cancelled.
  async function waitForPort(lostNumber) {
    const lost = serial.ports[lostNumber];
    if (!loss || loss.port !== lost)
      loss = { port: lost, info: lost.getInfo(), at: performance.now(), seenGone: false, offered: 0 };
    else
      await sleep(RECONNECT_POLL_MS); // the port offered last time could not be opened
    for (;;) {
      if (cancelRequested)
        return -1;
      await refreshPorts();
      const granted = await navigator.serial.getPorts();
      loss.seenGone = loss.seenGone || !granted.includes(lost);
      const candidates = [];
      for (let number = serial.ports.length - 1; number >= 0; number--) {
        const port = serial.ports[number];
        if (granted.includes(port) &&
            (port === lost ? loss.seenGone || performance.now() - loss.at >= RECONNECT_SETTLE_MS
                           : !portsAtStart.has(port) && sameKind(port.getInfo(), loss.info)))
          candidates.push(number);
      }
      if (candidates.length > 0)
        return candidates[loss.offered++ % candidates.length];
      await sleep(RECONNECT_POLL_MS);
    }
  }

  const hooks = {
    status: setStatus,
    trace: addTrace,
    progress: progress,
    note: note,
    cancelRequested: () => cancelRequested,
    portName: number => serial.ports[number] ? portLabel(serial.ports[number], number) : `${number + 1}`,
    waitForPort: waitForPort,
  };

  // --- One update ----------------------------------------------------------------------------

  function beep(hz, ms) {
    try {
      const audio = new AudioContext();
      const tone = audio.createOscillator();
      tone.frequency.value = hz;
      tone.connect(audio.destination);
      tone.start();
      tone.stop(audio.currentTime + ms / 1000);
      tone.onended = () => audio.close();
    } catch (error) {
      // No sound here: the result says it all.
    }
  }

  async function update() {
    const number = $('port-list').selectedIndex;
    if (page.state === 'running' || page.state === 'waiting' || !serial.ports[number])
      return;
    page.state = 'running';
    startedAt = performance.now();
    page.statuses = [];
    page.statusTimes = [];
    page.result = page.cause = '';
    cancelRequested = false;
    loss = null;
    portsAtStart = new Set(serial.ports);
    programmingSince = null;
    shown = '';
    traceText = '';
    traceShown = -1;
    $('trace').textContent = '';
    for (const id of ['hint', 'result', 'cause', 'time-left', 'resends'])
      show(id, '');
    $('progress').value = 0;
    updateControls();
    const result = await engine.ccall('qdm7_update', 'number', ['number'], [number], { async: true });
    const cause = engine.ccall('qdm7_last_cause', 'string', [], []);
    if (result === RESULT.COMPLETED) {
      beep(2000, 100);
      setStatus('Programming Completed');
      page.result = 'Programming Completed';
    } else {
      if ($('status').value !== 'FAILED')
        setStatus('FAILED');
      page.result = 'FAILED';
    }
    page.cause = cause;
    show('result', page.result);
    $('result').className = result === RESULT.COMPLETED ? 'completed' : 'failed';
    show('cause', cause);
    show('hint', '');
    show('time-left', '');
    drawTrace();
    page.updates++;
    page.state = 'done';
    await refreshPorts();
  }

  // --- Start ---------------------------------------------------------------------------------

  function noSerial() {
    page.state = 'no-serial';
    const where = window.isSecureContext ? 'This browser has no Web Serial' :
      'This browser offers Web Serial only to pages it trusts, and this address (' + location.origin +
      ') is not one: open the page from https://, from this computer (http://127.0.0.1 or ' +
      'http://localhost) or as a file';
    show('no-serial-text', where + ', so this page cannot reach the QDM7. Web Serial is in Chrome, Edge, ' +
      'Opera and other Chromium-based browsers, and in Firefox from version 151; not in Safari. Or use ' +
      'qdm7-flash, the updater for a terminal on Windows and Linux, from the same release.');
    $('no-serial').hidden = false;
    // Nothing here could be used: only the note and the release stay.
    for (const id of ['instructions', 'controls', 'progress-panel', 'trace-panel'])
      $(id).hidden = true;
    updateControls();
  }

  async function start() {
    $('update-button').addEventListener('click', update);
    $('choose-port').addEventListener('click', choosePort);
    $('cancel-button').addEventListener('click', () => {
      cancelRequested = true;
      $('cancel-button').disabled = true;
      setTimeout(() => { $('cancel-button').disabled = false; }, 1000);
    });
    $('trace-panel').addEventListener('toggle', drawTrace);
    $('copy-trace').addEventListener('click', async () => {
      drawTrace();
      try {
        await navigator.clipboard.writeText(traceText);
      } catch (error) {
        // Without the clipboard (an insecure page, a refusal): select it for a copy by hand.
        const range = document.createRange();
        range.selectNodeContents($('trace'));
        getSelection().removeAllRanges();
        getSelection().addRange(range);
      }
    });
    window.addEventListener('beforeunload', event => {
      if (page.state === 'running' || page.state === 'waiting') {
        event.preventDefault();
        event.returnValue = 'An update is running: leaving now leaves the QDM7 half programmed.';
      }
    });

    page.scriptIn = Math.round(performance.now());
    engine = await createQdm7Engine({ page: hooks, print: text => addTrace(text + '\n'),
                                      printErr: text => addTrace(text + '\n') });
    serial = engine.webSerial;
    page.engineIn = Math.round(performance.now());
    const facts = engine.ccall('qdm7_page_start', 'string', [], []);
    const lines = facts.trimEnd().split('\n');
    const warning = lines.filter(line => line.startsWith('warning: '));
    $('image-facts').textContent = lines.filter(line => !line.startsWith('warning: ')).join('\n');
    show('sample-warning', warning.join(' '));
    if (facts.startsWith('error: ')) {
      page.state = 'done';
      show('cause', facts.slice(7));
      updateControls();
      return;
    }
    if (!('serial' in navigator)) {
      noSerial();
      return;
    }
    navigator.serial.addEventListener('connect', () => refreshPorts());
    navigator.serial.addEventListener('disconnect', () => refreshPorts());
    await refreshPorts();
    page.statuses = [];
    page.statusTimes = [];
    setStatus(' - Idle - ');
    page.state = 'idle';
    page.startedIn = Math.round(performance.now());
    updateControls();
  }

  start().catch(error => {
    show('cause', 'The page could not start: ' + error);
    page.state = 'done';
  });
})();
