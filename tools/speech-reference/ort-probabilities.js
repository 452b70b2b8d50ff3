#!/usr/bin/env node
// The speech model run by ONNX Runtime over a 16 kHz mono WAV, one probability per
// 512-sample window: the reference the native inference is checked and timed against.
// Also a module: make-reference.js reuses the WAV reader, the hash and the window loop.
//
// Usage: node ort-probabilities.js MODEL IN.wav OUT.txt [--threads N]
'use strict';

const fs = require('node:fs');

const RATE = 16000;
const WINDOW = 512;
const CONTEXT = 64;
const STATE_SIZE = 2 * 1 * 128;
const HEADER = 44;

class InputError extends Error {}

// Only the header sox writes for plain 16-bit mono PCM is taken: the C++ side reads the
// same bytes, and anything else (extra chunks, another rate) would mean the two sides
// might not be looking at the same samples.
function readCanonicalWav(path) {
    const buf = fs.readFileSync(path);
    const fail = (why) => {
        throw new InputError(`${path}: ${why}; expected a 44-byte-header 16-bit PCM mono ${RATE} Hz WAV`);
    };
    if (buf.length < HEADER) fail('too short for a WAV header');
    if (buf.toString('latin1', 0, 4) !== 'RIFF' || buf.toString('latin1', 8, 12) !== 'WAVE') {
        fail('not a RIFF/WAVE file');
    }
    if (buf.readUInt32LE(4) !== buf.length - 8) fail('RIFF size does not match the file size');
    if (buf.toString('latin1', 12, 16) !== 'fmt ' || buf.readUInt32LE(16) !== 16) {
        fail('the fmt chunk is not 16 bytes right after the RIFF header');
    }
    const format = buf.readUInt16LE(20);
    const channels = buf.readUInt16LE(22);
    const rate = buf.readUInt32LE(24);
    const byteRate = buf.readUInt32LE(28);
    const align = buf.readUInt16LE(32);
    const bits = buf.readUInt16LE(34);
    if (format !== 1) fail(`format tag ${format} is not PCM`);
    if (channels !== 1) fail(`${channels} channels`);
    if (rate !== RATE) fail(`${rate} Hz`);
    if (bits !== 16 || align !== 2 || byteRate !== RATE * 2) fail(`${bits}-bit samples`);
    if (buf.toString('latin1', 36, 40) !== 'data') fail('the data chunk does not follow the fmt chunk');
    const size = buf.readUInt32LE(40);
    if (size !== buf.length - HEADER || size % 2 !== 0) fail('data size does not match the file size');
    return buf.subarray(HEADER);
}

// 64-bit FNV-1a over the raw sample bytes, as 16 lowercase hex digits.
function fnv1a64(bytes) {
    let hash = 0xcbf29ce484222325n;
    for (let i = 0; i < bytes.length; i++) {
        hash = BigInt.asUintN(64, (hash ^ BigInt(bytes[i])) * 0x100000001b3n);
    }
    return hash.toString(16).padStart(16, '0');
}

function int16Samples(data) {
    const samples = new Float32Array(data.length / 2);
    for (let i = 0; i < samples.length; i++) samples[i] = data.readInt16LE(2 * i) / 32768;
    return samples;
}

function windowCount(sampleCount) {
    return Math.ceil(sampleCount / WINDOW);
}

async function createSession(ort, modelPath, threads) {
    return ort.InferenceSession.create(modelPath, {
        intraOpNumThreads: threads,
        interOpNumThreads: 1,
        executionMode: 'sequential',
        graphOptimizationLevel: 'all',
    });
}

// Streams the model over the samples: each window is fed after the 64 samples before it
// (zeros before the first), the state carries over and starts at zeros, and the last
// partial window is zero-padded. Inputs, outputs and the two state buffers are allocated
// once; the states swap roles each window so an input is never also the output.
async function probabilities(ort, session, samples) {
    const count = windowCount(samples.length);
    const result = new Float32Array(count);
    const input = new Float32Array(CONTEXT + WINDOW);
    const inputTensor = new ort.Tensor('float32', input, [1, CONTEXT + WINDOW]);
    let state = new ort.Tensor('float32', new Float32Array(STATE_SIZE), [2, 1, 128]);
    let nextState = new ort.Tensor('float32', new Float32Array(STATE_SIZE), [2, 1, 128]);
    const sr = new ort.Tensor('int64', BigInt64Array.from([BigInt(RATE)]), []);
    const output = new ort.Tensor('float32', new Float32Array(1), [1, 1]);
    const feeds = { input: inputTensor, state, sr };
    const fetches = { output, stateN: nextState };
    for (let k = 0; k < count; k++) {
        input.copyWithin(0, WINDOW, WINDOW + CONTEXT);
        const start = k * WINDOW;
        const end = Math.min(start + WINDOW, samples.length);
        input.set(samples.subarray(start, end), CONTEXT);
        if (end - start < WINDOW) input.fill(0, CONTEXT + end - start);
        feeds.state = state;
        fetches.stateN = nextState;
        await session.run(feeds, fetches);
        result[k] = output.data[0];
        [state, nextState] = [nextState, state];
    }
    return result;
}

function formatProbabilities(values) {
    let text = '';
    for (const v of values) text += v.toFixed(8) + '\n';
    return text;
}

function parseArgs(argv) {
    const positional = [];
    let threads = 1;
    for (let i = 0; i < argv.length; i++) {
        if (argv[i] === '--threads') {
            threads = Number(argv[++i]);
            if (!Number.isInteger(threads) || threads < 1) throw new InputError('--threads needs a positive integer');
        } else {
            positional.push(argv[i]);
        }
    }
    if (positional.length !== 3) {
        throw new InputError('usage: node ort-probabilities.js MODEL IN.wav OUT.txt [--threads N]');
    }
    return { model: positional[0], wav: positional[1], out: positional[2], threads };
}

async function main() {
    const args = parseArgs(process.argv.slice(2));
    const samples = int16Samples(readCanonicalWav(args.wav));
    const ort = require('onnxruntime-node');
    const session = await createSession(ort, args.model, args.threads);
    const started = process.hrtime.bigint();
    const values = await probabilities(ort, session, samples);
    const seconds = Number(process.hrtime.bigint() - started) / 1e9;
    fs.writeFileSync(args.out, formatProbabilities(values));
    console.log(`windows=${values.length} seconds=${seconds.toFixed(3)}`);
}

module.exports = {
    InputError, readCanonicalWav, fnv1a64, int16Samples, windowCount, createSession, probabilities,
    formatProbabilities,
};

if (require.main === module) {
    main().catch((e) => {
        console.error(e instanceof InputError || typeof e.code === 'string' ? e.message : e.stack || String(e));
        process.exit(1);
    });
}
