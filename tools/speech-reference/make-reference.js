#!/usr/bin/env node
// Regenerates the speech model fixture: makes the test clips with
// tests/speech/make-clips.sh in a scratch folder, runs the model over each with ONNX
// Runtime on one thread, and writes per clip its sample count, the FNV-1a hash of its
// samples and one probability per window, so the native test can both rebuild the same
// clips and compare its own output with these.
//
// Usage: node make-reference.js MODEL [OUT]   (OUT defaults to tests/data/speech-reference.txt)
'use strict';

const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const ref = require('./ort-probabilities.js');

const ROOT = path.resolve(__dirname, '..', '..');
const CLIPS = ['speech.wav', 'music.wav', 'silence.wav', 'mixed.wav'];

// Versions of what the clips are made with: when a hash stops matching, these say which
// tool changed under it.
function toolVersions() {
    const packages = ['sox', 'espeak-ng', 'fluidsynth', 'fluid-soundfont-gm'];
    try {
        return execFileSync('dpkg-query', ['-W', '-f=${Package} ${Version}, ', ...packages], { encoding: 'utf8' })
            .replace(/, $/, '');
    } catch {
        return 'unknown (no dpkg-query)';
    }
}

async function main() {
    const [model, outArg] = process.argv.slice(2);
    if (!model) throw new ref.InputError('usage: node make-reference.js MODEL [OUT]');
    const out = outArg || path.join(ROOT, 'tests', 'data', 'speech-reference.txt');
    const ort = require('onnxruntime-node');
    const modelHash = crypto.createHash('sha256').update(fs.readFileSync(model)).digest('hex');

    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrun-reference-'));
    try {
        execFileSync('sh', [path.join(ROOT, 'tests', 'speech', 'make-clips.sh'), dir], { stdio: 'inherit' });
        const session = await ref.createSession(ort, model, 1);
        let text = '# Speech model probabilities from ONNX Runtime, made by tools/speech-reference/make-reference.js\n'
            + '# from the clips tests/speech/make-clips.sh writes.\n'
            + `# onnxruntime-node ${ort.env.versions.node}, one intra-op thread, all graph optimisations\n`
            + `# model sha256 ${modelHash}\n`
            + `# clips made with ${toolVersions()}\n`
            + '# Windows of 512 samples at 16 kHz, each fed after the 64 samples before it (zeros\n'
            + '# before the first); state from zeros, carried over; the last partial window zero-padded.\n'
            + '# clip NAME SAMPLES FNV1A64-OF-SAMPLE-BYTES WINDOWS, then one probability per window.\n';
        for (const name of CLIPS) {
            const data = ref.readCanonicalWav(path.join(dir, name));
            const values = await ref.probabilities(ort, session, ref.int16Samples(data));
            text += `clip ${name} ${data.length / 2} ${ref.fnv1a64(data)} ${values.length}\n`;
            text += ref.formatProbabilities(values);
            console.log(`${name}: ${values.length} windows`);
        }
        fs.mkdirSync(path.dirname(out), { recursive: true });
        fs.writeFileSync(out, text);
        console.log(`wrote ${out}`);
    } finally {
        fs.rmSync(dir, { recursive: true, force: true });
    }
}

main().catch((e) => {
    console.error(e instanceof ref.InputError ? e.message : e.stack || String(e));
    process.exit(1);
});
