// Reads a glb file with two independent clients and prints one line:
// "errors=E warnings=W triangles=T", T being the triangles three.js draws,
// every placement counted. Exits 1 when either client fails to read it.
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { GLTFLoader } from 'three/examples/jsm/loaders/GLTFLoader.js';

const require = createRequire(import.meta.url);
const validator = require('gltf-validator');

const bytes = readFileSync(process.argv[2]);
const report = await validator.validateBytes(new Uint8Array(bytes), { maxIssues: 20 });
for (const message of report.issues.messages)
  if (message.severity <= 1)
    console.error(`${message.code} ${message.pointer ?? ''}: ${message.message}`);

const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
const gltf = await new Promise((resolve, reject) => new GLTFLoader().parse(buffer, '', resolve, reject));
let triangles = 0;
gltf.scene.updateMatrixWorld(true);
gltf.scene.traverse((object) => {
  if (!object.isMesh)
    return;
  const geometry = object.geometry;
  const count = geometry.index ? geometry.index.count : geometry.attributes.position.count;
  triangles += count / 3;
});
console.log(`errors=${report.issues.numErrors} warnings=${report.issues.numWarnings} triangles=${triangles}`);
