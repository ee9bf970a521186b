'use strict';
// Starts the tabula language server (tabula-lsp) over standard input and
// output for every document of the language "tabula", and restarts it when
// its server settings change; the lint settings reach the running server.
// Highlighting, the language configuration and the
// problem matcher are declared in package.json and need no code.
const vscode = require('vscode');
const { LanguageClient, TransportKind } = require('vscode-languageclient/node');

let client = null;

function serverSettings() {
    const settings = vscode.workspace.getConfiguration('tabula.server');
    return {
        enabled: settings.get('enabled', true),
        command: settings.get('path', 'tabula-lsp') || 'tabula-lsp',
        args: settings.get('args', []),
    };
}

function lintSettings() {
    const settings = vscode.workspace.getConfiguration('tabula.lint');
    return { enabled: settings.get('enabled', true), disable: settings.get('disable', []) };
}

async function startServer() {
    const settings = serverSettings();
    if (!settings.enabled) {
        return;
    }
    const executable = { command: settings.command, args: settings.args, transport: TransportKind.stdio };
    client = new LanguageClient(
        'tabula',
        'tabula language server',
        { run: executable, debug: executable },
        {
            documentSelector: [{ language: 'tabula' }],
            initializationOptions: { lint: lintSettings() },
            // Included and initializer files change compilations too; the
            // server reads the lint settings from the "tabula" section.
            synchronize: {
                fileEvents: vscode.workspace.createFileSystemWatcher('**/*'),
                configurationSection: 'tabula',
            },
        });
    try {
        await client.start();
    } catch (error) {
        client = null;
        vscode.window.showErrorMessage(
            `Could not start the tabula language server "${settings.command}" (setting tabula.server.path): ${error.message}`);
    }
}

async function stopServer() {
    if (client) {
        const stopping = client;
        client = null;
        await stopping.stop();
    }
}

async function activate(context) {
    context.subscriptions.push(vscode.workspace.onDidChangeConfiguration(async (event) => {
        if (event.affectsConfiguration('tabula.server')) {
            await stopServer();
            await startServer();
        }
    }));
    await startServer();
}

function deactivate() {
    return stopServer();
}

module.exports = { activate, deactivate };
