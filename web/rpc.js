// JSON-RPC 2.0 over the host's WebSocket, on the page's own origin.
'use strict';

class TavroRpc {
    constructor() {
        this.socket = null;
        this.nextId = 1;
        this.pending = new Map();
        // Notifications by full name ("TavroEnergy.ChargingStateChanged").
        this.handlers = new Map();
        this.onclose = null;
    }

    // Resolves once the socket is open; rejects when it cannot be opened.
    open(url) {
        return new Promise((resolve, reject) => {
            const socket = new WebSocket(url);
            this.socket = socket;
            let opened = false;
            socket.onopen = () => {
                opened = true;
                resolve();
            };
            socket.onmessage = (event) => this.receive(event.data);
            socket.onclose = (event) => {
                for (const { reject: fail } of this.pending.values())
                    fail(new Error('closed'));
                this.pending.clear();
                if (!opened)
                    reject(new Error('cannot connect'));
                else if (this.onclose)
                    this.onclose(event);
            };
        });
    }

    close() {
        if (this.socket)
            this.socket.close();
    }

    on(name, handler) {
        this.handlers.set(name, handler);
    }

    // The result, or a rejection with the error object ({code, message}).
    call(method, params = {}) {
        const id = this.nextId++;
        return new Promise((resolve, reject) => {
            this.pending.set(id, { resolve, reject });
            this.socket.send(JSON.stringify({ jsonrpc: '2.0', id, method, params }));
        });
    }

    receive(text) {
        let message;
        try {
            message = JSON.parse(text);
        } catch (error) {
            return;
        }
        if (message.id === undefined || message.id === null) {
            const handler = this.handlers.get(message.method);
            if (handler)
                handler(message.params || {});
            return;
        }
        const waiting = this.pending.get(message.id);
        if (!waiting)
            return;
        this.pending.delete(message.id);
        if (message.error)
            waiting.reject(message.error);
        else
            waiting.resolve(message.result);
    }
}

window.TavroRpc = TavroRpc;
