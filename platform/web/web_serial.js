// The JavaScript half of the web platform's serial port (serial_port.cpp),
// run before the module starts. The page puts the SerialPort objects it
// lists in Module.webSerial.ports (its list, numbered from 0); the module
// opens one of them by number and then reads, writes, purges and closes it
// by handle.
Module['webSerial'] = (function () {
  'use strict';
  const EMPTY = new Uint8Array(0);
  const TIMED_OUT = {};
  // Open ports by handle: the port, its reader and writer, the read still
  // pending from a call that timed out, bytes read beyond a caller's
  // capacity, and whether the port went away.
  const lines = new Map();
  let nextHandle = 1;

  const BUSY = 1, ABSENT = 2, ALREADY = 3;

  function failureOf(error) {
    const name = error && error.name;
    const text = (error && error.message) || String(error);
    if (name === 'InvalidStateError')
      return { kind: ALREADY, text: 'the port is already open in this page' };
    if (name === 'NotFoundError')
      return { kind: ABSENT, text: 'the port is no longer there' };
    // "Failed to open serial port.": the browser could not open the device.
    return { kind: BUSY, text: text };
  }

  function gone(line) {
    line.lost = true;
    line.pending = null;
  }

  // A port pulled out says so at once, also between two reads.
  if (typeof navigator !== 'undefined' && navigator.serial) {
    navigator.serial.addEventListener('disconnect', event => {
      for (const line of lines.values()) {
        if (line.port === event.target)
          gone(line);
      }
    });
  }

  return {
    ports: [],

    async open(number, baud) {
      const port = this.ports[number];
      if (!port)
        return { kind: ABSENT, text: 'no port numbered ' + (number + 1) + ' in the list' };
      try {
        // Room for the largest frame each way, so a block goes in one write.
        await port.open({ baudRate: baud, dataBits: 8, parity: 'even', stopBits: 1, flowControl: 'none',
                          bufferSize: 32768 });
      } catch (error) {
        return failureOf(error);
      }
      try {
        await port.setSignals({ dataTerminalReady: false, requestToSend: false });
      } catch (error) {
        // A port without modem lines (some adapters) is used as it is.
      }
      const handle = nextHandle++;
      lines.set(handle, { port: port, reader: port.readable.getReader(), writer: port.writable.getWriter(),
                          pending: null, held: EMPTY, lost: false });
      return { handle: handle };
    },

    async write(handle, bytes) {
      const line = lines.get(handle);
      if (!line || line.lost)
        return -1;
      try {
        await line.writer.write(bytes);
        return bytes.length;
      } catch (error) {
        gone(line);
        return -1;
      }
    },

    // Bytes that came within timeoutMs, at most max of them (the rest are
    // held for the next read); an empty array after the time-out, null
    // once the port has gone. A read the time-out gave up on stays pending
    // for the next call.
    async read(handle, max, timeoutMs) {
      const line = lines.get(handle);
      if (!line || line.lost)
        return null;
      if (line.held.length === 0) {
        if (!line.pending)
          line.pending = line.reader.read();
        let timer = 0;
        const timeout = new Promise(resolve => { timer = setTimeout(resolve, timeoutMs, TIMED_OUT); });
        let result;
        try {
          result = await Promise.race([line.pending, timeout]);
        } catch (error) {
          clearTimeout(timer);
          gone(line);
          return null;
        }
        clearTimeout(timer);
        if (result === TIMED_OUT)
          return EMPTY;
        line.pending = null;
        if (result.done) {
          gone(line);
          return null;
        }
        line.held = result.value;
      }
      const taken = line.held.subarray(0, max);
      line.held = line.held.subarray(taken.length);
      return taken.slice();
    },

    // Drops what has come and not been read: what the browser already
    // holds, without waiting for more (a settled read wins the race over
    // an already resolved promise, an unsettled one does not).
    async purge(handle) {
      const line = lines.get(handle);
      if (!line || line.lost)
        return;
      line.held = EMPTY;
      for (;;) {
        if (!line.pending)
          line.pending = line.reader.read();
        let result;
        try {
          result = await Promise.race([line.pending, Promise.resolve(TIMED_OUT)]);
        } catch (error) {
          gone(line);
          return;
        }
        if (result === TIMED_OUT)
          return;
        line.pending = null;
        if (result.done) {
          gone(line);
          return;
        }
      }
    },

    async close(handle) {
      const line = lines.get(handle);
      if (!line)
        return;
      lines.delete(handle);
      // A pending read ends with the cancel; a port already gone may refuse
      // each step, and is closed as far as it goes.
      try { await line.reader.cancel(); } catch (error) { }
      try { line.reader.releaseLock(); } catch (error) { }
      try { await line.writer.close(); } catch (error) { }
      try { line.writer.releaseLock(); } catch (error) { }
      try { await line.port.close(); } catch (error) { }
    },

    lost(handle) {
      const line = lines.get(handle);
      return !line || line.lost;
    },

    // The SerialPort behind an open handle, for the page.
    portOf(handle) {
      const line = lines.get(handle);
      return line ? line.port : null;
    },
  };
})();
