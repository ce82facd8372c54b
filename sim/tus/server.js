#!/usr/bin/env node
// A real tus 1.0 upload server for desk tests and the demo: @tus/server with
// @tus/file-store (pinned in package-lock.json, installed into node_modules by
// scripts/setup), behind an HTTPS front made with Node's own https module.
//
// Run:
//   node sim/tus/server.js --store DIR --cert server.pem --key server.key
//
// Options:
//   --store DIR          folder of the file store: each upload is DIR/ID, its
//                        length and metadata DIR/ID.json (required)
//   --cert FILE          server certificate, PEM, for 127.0.0.1 (required): the
//                        cloud simulator's WORKDIR/certs/server.pem, so clients
//                        check it against the tests' CA as always
//   --key FILE           its private key, PEM (required)
//   --port N             TCP port (default 0: a free one, printed when ready)
//   --bind ADDR          address to listen on (default 127.0.0.1)
//   --path P             the tus endpoint; uploads are created by POST to it and
//                        live at P/ID (default /files)
//   --expiry S           an unfinished upload expires S seconds after its
//                        creation: HEAD and PATCH then answer 410 (default 0:
//                        never)
//   --max-size N         largest Upload-Length accepted, bytes (default 0: any)
//   --relative-location  answer a creation with Location "P/ID" instead of
//                        "https://HOST/P/ID" (HOST: the request's Host header,
//                        so a relay in front names itself)
//   --modules DIR        load @tus/server and @tus/file-store from this
//                        node_modules folder instead of the one beside this
//                        script (sim/tus/v2/node_modules: the newest 2.x line)
//   --log FILE           append one JSON line per finished request:
//                        {"method", "path", "status", "upload_offset" (sent),
//                        "offset" (answered), "length"}; status 0: no answer
//                        was sent (the client went away first)
//
// When ready it prints one JSON line on stdout:
//   {"ready": true, "port": N, "base": "https://127.0.0.1:N",
//    "creation": "https://127.0.0.1:N/files", "store": DIR, "pid": N}
// SIGTERM or SIGINT stop it.
'use strict';

const fs = require('fs');
const https = require('https');
const path = require('path');

function fail(text) {
    process.stderr.write('tus server: ' + text + '\n');
    process.exit(2);
}

function parseArgs(argv) {
    const o = {
        store: '', cert: '', key: '', port: 0, bind: '127.0.0.1', path: '/files',
        expiry: 0, maxSize: 0, relativeLocation: false, log: '', modules: '',
    };
    const numbers = {'--port': 'port', '--expiry': 'expiry', '--max-size': 'maxSize'};
    const texts = {'--store': 'store', '--cert': 'cert', '--key': 'key', '--bind': 'bind',
        '--path': 'path', '--log': 'log', '--modules': 'modules'};
    for (let i = 0; i < argv.length; i++) {
        const a = argv[i];
        if (a === '--relative-location') {
            o.relativeLocation = true;
        } else if (a in texts || a in numbers) {
            if (i + 1 >= argv.length) fail(a + ' needs a value');
            const v = argv[++i];
            if (a in texts) {
                o[texts[a]] = v;
            } else {
                const n = Number(v);
                if (!Number.isInteger(n) || n < 0) {
                    fail(a + ' needs a whole number, not "' + v + '"');
                }
                o[numbers[a]] = n;
            }
        } else {
            fail('unknown option "' + a + '" (the options are listed at the top of server.js)');
        }
    }
    for (const need of ['store', 'cert', 'key']) {
        if (!o[need]) fail('--' + need + ' is required');
    }
    if (!o.path.startsWith('/') || o.path.length < 2 || o.path.endsWith('/')) {
        fail('--path must look like /files');
    }
    return o;
}

function loadTus(modules) {
    // Tests never fetch: the packages come from scripts/setup or not at all.
    const from = modules ? path.resolve(modules) : path.join(__dirname, 'node_modules');
    try {
        const load = (name) => (modules ? require(path.join(from, name)) : require(name));
        return {server: load('@tus/server'), store: load('@tus/file-store')};
    } catch (e) {
        fail('its npm packages are missing (' + from + '): run scripts/setup (' +
             e.message.split('\n')[0] + ')');
    }
    return null;
}

function main() {
    const o = parseArgs(process.argv.slice(2));
    const tus = loadTus(o.modules);
    fs.mkdirSync(o.store, {recursive: true});
    let cert, key;
    try {
        cert = fs.readFileSync(o.cert);
        key = fs.readFileSync(o.key);
    } catch (e) {
        fail('cannot read the certificate or key: ' + e.message);
    }

    const datastore = new tus.store.FileStore({
        directory: o.store,
        expirationPeriodInMilliseconds: o.expiry * 1000,
    });
    const options = {
        path: o.path,
        datastore,
        // The front is HTTPS; the library would otherwise name http:// URLs.
        generateUrl: (req, u) =>
            (o.relativeLocation ? '' : 'https://' + u.host) + u.path + '/' + u.id,
    };
    if (o.maxSize > 0) options.maxSize = o.maxSize;
    const tusServer = new tus.server.Server(options);

    const log = o.log ? fs.openSync(o.log, 'a') : -1;
    const server = https.createServer({cert, key}, (req, res) => {
        if (log >= 0) {
            res.on('close', () => {
                const num = (v) => (v == null || v === '' || isNaN(Number(v)) ? null : Number(v));
                const line = {
                    method: req.method,
                    path: req.url,
                    status: res.headersSent ? res.statusCode : 0,
                    upload_offset: num(req.headers['upload-offset']),
                    offset: num(res.getHeader('upload-offset')),
                    length: num(res.getHeader('upload-length') ?? req.headers['upload-length']),
                };
                // One write per line keeps lines whole for a reader that polls.
                fs.writeSync(log, JSON.stringify(line) + '\n');
            });
        }
        tusServer.handle(req, res);
    });
    // A peer that drops mid-handshake or mid-body is part of the job.
    server.on('tlsClientError', () => {});
    server.on('clientError', (err, socket) => socket.destroy());
    server.listen(o.port, o.bind, () => {
        const port = server.address().port;
        const base = 'https://' + o.bind + ':' + port;
        const ready = {ready: true, port, base, creation: base + o.path,
            store: path.resolve(o.store), pid: process.pid};
        process.stdout.write(JSON.stringify(ready) + '\n');
    });
    server.on('error', (e) => fail('cannot listen on ' + o.bind + ':' + o.port + ': ' + e.message));
    const stop = () => {
        server.close();
        server.closeAllConnections?.();
        process.exit(0);
    };
    process.on('SIGTERM', stop);
    process.on('SIGINT', stop);
}

main();
