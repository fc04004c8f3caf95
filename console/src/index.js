/* The Pellomar agent's page: everything it shows comes from `pellomar-cli --json`, run by the
 * Cockpit bridge as an argument array. */
/* global cockpit */

const CLI = "pellomar-cli";
const OVERVIEW_MS = 3000;
/* A rescan makes the agent ask every controller to identify itself: the overview's refreshes read
 * the agent's table as it stands, and rescan only at load, on the button, once a minute and while
 * the agent sees no controller. */
const RESCAN_MS = 60000;
const EVENTS_MS = 2000;

const SEVERITY_LABEL = { critical: "Critical", warning: "Warning", info: "Info" };
const ICONS = {
    critical: '<svg width="1em" height="1em" viewBox="0 0 512 512" aria-hidden="true" fill="currentColor"><path d="M504 256c0 137-111 248-248 248S8 393 8 256 119 8 256 8s248 111 248 248zm-248 50c-25.4 0-46 20.6-46 46s20.6 46 46 46 46-20.6 46-46-20.6-46-46-46zm-43.7-165.3l7.4 136c.3 6.4 5.6 11.3 12 11.3h48.5c6.4 0 11.6-5 12-11.3l7.4-136c.4-6.9-5.1-12.7-12-12.7h-63.4c-6.9 0-12.4 5.8-12 12.7z"/></svg>',
    warning: '<svg width="1em" height="1em" viewBox="0 0 576 512" aria-hidden="true" fill="currentColor"><path d="M569.5 440C588 472 564.8 512 527.9 512H48.1c-36.9 0-60-40.1-41.6-72L246.4 24c18.5-32 64.7-32 83.2 0l239.9 416zM288 354c-25.4 0-46 20.6-46 46s20.6 46 46 46 46-20.6 46-46-20.6-46-46-46zm-43.7-165.3l7.4 136c.3 6.4 5.6 11.3 12 11.3h48.5c6.4 0 11.6-5 12-11.3l7.4-136c.4-6.9-5.1-12.7-12-12.7h-63.4c-6.9 0-12.4 5.8-12 12.7z"/></svg>',
    info: '<svg width="1em" height="1em" viewBox="0 0 512 512" aria-hidden="true" fill="currentColor"><path d="M256 8C119 8 8 119.1 8 256c0 137 111 248 248 248s248-111 248-248C504 119.1 393 8 256 8zm0 110c23.2 0 42 18.8 42 42s-18.8 42-42 42-42-18.8-42-42 18.8-42 42-42zm56 254c0 6.6-5.4 12-12 12h-88c-6.6 0-12-5.4-12-12v-24c0-6.6 5.4-12 12-12h12v-64h-12c-6.6 0-12-5.4-12-12v-24c0-6.6 5.4-12 12-12h64c6.6 0 12 5.4 12 12v100h12c6.6 0 12 5.4 12 12v24z"/></svg>',
    ok: '<svg width="1em" height="1em" viewBox="0 0 512 512" aria-hidden="true" fill="currentColor"><path d="M504 256c0 137-111 248-248 248S8 393 8 256 119 8 256 8s248 111 248 248zM227.3 387.3l184-184c6.2-6.2 6.2-16.4 0-22.6l-22.6-22.6c-6.2-6.2-16.4-6.2-22.6 0L216 308.1l-70.1-70.1c-6.2-6.2-16.4-6.2-22.6 0l-22.6 22.6c-6.2 6.2-6.2 16.4 0 22.6l104 104c6.2 6.3 16.4 6.3 22.6 0z"/></svg>',
};

const $ = id => document.getElementById(id);
const esc = s => String(s ?? "").replace(/[&<>"']/g, c => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" }[c]));

/* ---- Running the client ---------------------------------------------------------------- */

/* The client's error object from its standard error (one JSON object a line), or a stand-in
 * for a failure that never reached the client (not installed, not allowed). */
function cliError(ex) {
    const text = String((ex && ex.message) ?? "");
    for (const line of text.split("\n").reverse()) {
        try {
            const doc = JSON.parse(line);
            if (doc && typeof doc.error === "string") return doc;
        } catch (_) { /* not a JSON line */ }
    }
    if (ex && (ex.problem === "not-found" || ex.problem === "not-authorized"))
        return { error: `${CLI} cannot be run here (${ex.problem}): install it on this host`, problem: ex.problem };
    return { error: text.trim() || (ex && (ex.problem || ex.toString())) || "unknown failure" };
}

/* Runs pellomar-cli --json ARGS. Resolves with the parsed document; rejects with an object
 * that holds the client's error object and, if it printed one, its document. */
function cli(args, opts = {}) {
    return new Promise((resolve, reject) => {
        const proc = cockpit.spawn([CLI, "--json", ...args], { err: "message", ...opts });
        proc.done(out => {
            try {
                resolve(JSON.parse(out));
            } catch (e) {
                reject({ error: `unreadable reply from ${CLI}: ${out.slice(0, 200)}` });
            }
        });
        proc.fail((ex, out) => {
            const err = cliError(ex);
            if (out) {
                try { err.document = JSON.parse(out); } catch (_) { /* none */ }
            }
            reject(err);
        });
    });
}

function run(args) {
    return new Promise(resolve => {
        cockpit.spawn(args, { err: "out" })
                .done(out => resolve({ ok: true, out }))
                .fail((ex, out) => resolve({ ok: false, out: out || "", problem: ex && ex.problem, exit: ex && ex.exit_status }));
    });
}

/* ---- Alerts ---------------------------------------------------------------------------- */

function showAlert(kind, title, message) {
    const item = document.createElement("li");
    item.className = "pf-v5-c-alert-group__item";
    const div = document.createElement("div");
    div.className = `pf-v5-c-alert pf-m-${kind === "success" ? "success" : "danger"}`;
    div.setAttribute("data-kind", kind);
    div.innerHTML = `<div class="pf-v5-c-alert__icon">${kind === "success" ? ICONS.ok : ICONS.critical}</div>
        <p class="pf-v5-c-alert__title">${esc(title)}</p>
        <div class="pf-v5-c-alert__action"><button class="pf-v5-c-button pf-m-plain" type="button" aria-label="Close">✕</button></div>
        ${message ? `<div class="pf-v5-c-alert__description">${esc(message)}</div>` : ""}`;
    div.querySelector("button").addEventListener("click", () => item.remove());
    item.appendChild(div);
    // One success note at a time: a stack of them would cover the controls under the toasts.
    if (kind === "success")
        for (const old of $("alerts").querySelectorAll("[data-kind=success]")) old.parentElement.remove();
    $("alerts").appendChild(item);
    if (kind === "success") setTimeout(() => item.remove(), 5000);
}
const failed = (what, err) => showAlert("danger", what, err.error || String(err));
const succeeded = what => showAlert("success", what, "");

/* The relay's view of a controller: OK, or the relays that failed in a row (the agent clears it
 * from its table past 32). */
function stateCell(c) {
    if (typeof c.relay_failures !== "number") return '<span class="pm-muted">—</span>';
    if (c.relay_failures === 0) return `<span class="pm-sev pm-sev-ok" data-state="ok">${ICONS.ok}OK</span>`;
    const n = c.relay_failures;
    return `<span class="pm-sev pm-sev-warning" data-state="failing">${ICONS.warning}${n} failed command${n === 1 ? "" : "s"} in a row</span>`;
}

function severityCell(sev) {
    const s = SEVERITY_LABEL[sev] ? sev : "info";
    return `<span class="pm-sev pm-sev-${s}" data-severity="${s}">${ICONS[s]}${SEVERITY_LABEL[s]}</span>`;
}

/* ---- Tabs ------------------------------------------------------------------------------ */

let current = "overview";
function selectTab(name) {
    current = name;
    for (const li of document.querySelectorAll("#tabs li")) {
        li.classList.toggle("pf-m-current", li.dataset.tab === name);
        li.querySelector("button").setAttribute("aria-selected", li.dataset.tab === name);
    }
    for (const p of document.querySelectorAll(".pm-panel")) p.hidden = p.id !== `panel-${name}`;
    if (name === "overview") refreshOverview();
    if (name === "events") {
        refreshOverview();  // the controller list
        refreshEvents();
    }
    if (name === "mail") loadMail();
    if (name === "agent") loadAgent();
}

/* ---- Overview -------------------------------------------------------------------------- */

let controllers = [];
let overviewBusy = false;
let lastRescan = 0;         // Date.now() of the last rescan
let rescanWanted = true;    // asked for (the first refresh, the button): the next refresh rescans
let overviewRefreshes = 0;  // refreshes that reached the agent

function overviewEmpty(title, body, detail) {
    $("ctl-table").hidden = true;
    $("ctl-empty").hidden = false;
    $("ctl-empty-title").textContent = title;
    $("ctl-empty-body").textContent = body;
    $("ctl-empty-detail").textContent = detail || "";
}

async function refreshOverview() {
    if (overviewBusy) return;
    overviewBusy = true;
    const rescan = rescanWanted || controllers.length === 0 || Date.now() - lastRescan >= RESCAN_MS;
    rescanWanted = false;
    try {
        let doc;
        try {
            doc = await cli(rescan ? ["controllers"] : ["controllers", "--no-rescan"]);
            if (rescan) lastRescan = Date.now();
            overviewRefreshes++;
            document.body.dataset.overviewRefreshes = overviewRefreshes;
        } catch (err) {
            controllers = [];
            updateSerials();
            overviewEmpty("The agent is not running",
                          "Start the Pellomar agent on this host (the pellomar service), then this page lists its controllers.",
                          err.error);
            return;
        }
        controllers = (doc.controllers || []).filter(c => c.serial);
        updateSerials();
        if (controllers.length === 0) {
            overviewEmpty("No controller found",
                          "The agent runs but sees no controller. Check that the controller driver is loaded and the cards are seated; the list rescans every few seconds.");
            return;
        }
        const latest = await Promise.all(controllers.map(c =>
            cli(["history", c.serial]).then(h => ({ ev: (h.events || [])[0] || null }),
                                            err => ({ err }))));
        $("ctl-rows").innerHTML = controllers.map((c, i) => {
            const l = latest[i];
            let last;
            if (l.err) last = `<span class="pm-sev-critical">history unavailable: ${esc(l.err.error)}</span>`;
            else if (!l.ev) last = '<span class="pm-muted">no event recorded</span>';
            else last = `${severityCell(l.ev.severity)} <span class="pm-text">${esc(l.ev.text)}</span> <span class="pm-muted pm-time">${esc(l.ev.time)}</span>`;
            return `<tr data-serial="${esc(c.serial)}">
                <td data-label="Number">${c.number}</td>
                <td data-label="Serial">${esc(c.serial)}</td>
                <td data-label="Role">${esc(c.role ?? "—")}</td>
                <td data-label="Model">${esc(c.model ?? "—")}</td>
                <td data-label="Firmware">${esc(c.firmware ?? "—")}</td>
                <td data-label="Unit byte">${c.unit_byte ?? "—"}</td>
                <td data-label="State">${stateCell(c)}</td>
                <td data-label="Latest event">${last}</td></tr>`;
        }).join("");
        $("ctl-empty").hidden = true;
        $("ctl-table").hidden = false;
    } finally {
        overviewBusy = false;
    }
    if (rescanWanted) refreshOverview();
}

/* ---- Events ---------------------------------------------------------------------------- */

let events = [];
let eventsSerial = null;
let eventsBusy = false;
let eventsError = null;

function updateSerials() {
    const sel = $("ev-serial");
    const want = controllers.map(c => c.serial);
    const have = [...sel.options].map(o => o.value);
    if (want.join("\n") === have.join("\n")) return;
    const keep = sel.value;
    sel.innerHTML = want.map(s => `<option value="${esc(s)}">${esc(s)}</option>`).join("");
    if (want.includes(keep)) sel.value = keep;
    if (current === "events") refreshEvents();
}

function renderEvents() {
    const filter = $("ev-severity").value;
    const shown = events.filter(e => !filter || e.severity === filter);
    $("ev-rows").innerHTML = shown.map(e => `<tr class="pm-event" data-severity="${esc(e.severity)}">
        <td class="pm-time" data-label="Time">${esc(e.time)}</td>
        <td data-label="Severity">${severityCell(e.severity)}</td>
        <td data-label="Class">${esc(e.class)}</td>
        <td class="pm-text" data-label="Event">${esc(e.text)}</td></tr>`).join("");
    $("ev-count").textContent = eventsSerial ? `${shown.length} of ${events.length} events` : "";
    $("ev-clear").disabled = !eventsSerial;
    const empty = shown.length === 0;
    $("ev-table").hidden = empty;
    $("ev-empty").hidden = !empty;
    if (!empty) return;
    if (eventsError) {
        $("ev-empty-title").textContent = "The history cannot be read";
        $("ev-empty-body").textContent = eventsError.error;
    } else if (!eventsSerial) {
        $("ev-empty-title").textContent = "No controller";
        $("ev-empty-body").textContent = "The agent lists no controller (see Overview).";
    } else {
        $("ev-empty-title").textContent = events.length ? "No event of this severity" : "No event recorded";
        $("ev-empty-body").textContent = events.length ? "Choose another severity to see the others." : "Events the controller reports appear here as they come.";
    }
}

async function refreshEvents() {
    if (eventsBusy) return;
    const serial = $("ev-serial").value || null;
    if (!serial) {
        eventsSerial = null;
        events = [];
        eventsError = null;
        renderEvents();
        return;
    }
    eventsBusy = true;
    try {
        const doc = await cli(["history", serial]);
        if ($("ev-serial").value !== serial) return;
        eventsSerial = serial;
        events = doc.events || [];
        eventsError = null;
    } catch (err) {
        eventsSerial = serial;
        events = [];
        eventsError = err;
    } finally {
        eventsBusy = false;
    }
    renderEvents();
}

function clearHistory() {
    const serial = eventsSerial;
    if (!serial) return;
    $("confirm-body").textContent = `Every recorded event of controller ${serial} is released. This cannot be undone.`;
    $("confirm").hidden = false;
    $("confirm-yes").onclick = async () => {
        $("confirm").hidden = true;
        try {
            await cli(["clear-events", serial]);
            succeeded(`The history of ${serial} was cleared`);
        } catch (err) {
            failed(`The history of ${serial} could not be cleared`, err);
        }
        refreshEvents();
        refreshOverview();
    };
}

/* ---- Mail ------------------------------------------------------------------------------ */

/* The agent's limits: no blanks or control characters; at most 127 characters for the server
 * and the sender (items 1 and 2), 63 for the user, the password and the note (items 3, 4, 6).
 * The client checks them again, and its message is shown when it refuses. */
const ITEMS = [
    { no: 1, key: "server", label: "SMTP server", max: 127, hint: "host or host:port" },
    { no: 2, key: "sender", label: "Sender", max: 127, hint: "agent@example.com", address: true },
    { no: 3, key: "user", label: "User", max: 63, hint: "empty: no log-in" },
    { no: 4, key: "password", label: "Password", max: 63, hint: "", secret: true },
    { no: 6, key: "note", label: "Note", max: 63, hint: "stored only" },
];

function checkText(text, max, address) {
    if (/[\s\x00-\x1f\x7f]/.test(text)) return "no blanks or control characters";
    if (text.length > max) return `at most ${max} characters (${text.length} given)`;
    if (address && text && !/^[^@]+@[^@]+\.[^@]+$/.test(text)) return "a mail address such as agent@example.com";
    return null;
}

let serverValues = {};

function buildServerForm() {
    $("srv-fields").innerHTML = ITEMS.map(it => `
        <div class="pf-v5-c-form__group">
          <div class="pf-v5-c-form__group-label"><label class="pf-v5-c-form__label" for="srv-${it.key}"><span class="pf-v5-c-form__label-text">${it.label}</span></label></div>
          <div class="pf-v5-c-form__group-control">
            <span class="pf-v5-c-form-control"><input id="srv-${it.key}" name="${it.key}" type="${it.secret ? "password" : "text"}" autocomplete="off" maxlength="${it.max + 20}"></span>
            <div class="pf-v5-c-form__helper-text" id="srv-${it.key}-help">${esc(it.hint)}</div>
          </div>
        </div>`).join("");
    for (const it of ITEMS) $(`srv-${it.key}`).addEventListener("input", () => validateItem(it));
}

function validateItem(it) {
    const input = $(`srv-${it.key}`);
    const problem = checkText(input.value, it.max, it.address);
    const help = $(`srv-${it.key}-help`);
    help.textContent = problem || (it.secret ? (serverValues.password_set ? "a password is stored; leave empty to keep it" : "no password stored") : it.hint);
    help.classList.toggle("pm-error", !!problem);
    input.parentElement.classList.toggle("pf-m-error", !!problem);
    input.setAttribute("aria-invalid", problem ? "true" : "false");
    return !problem;
}

async function loadServer() {
    try {
        const doc = await cli(["mail", "server"]);
        serverValues = doc;
        for (const it of ITEMS) {
            if (!it.secret) $(`srv-${it.key}`).value = doc[it.key] ?? "";
            else $(`srv-${it.key}`).value = "";
            validateItem(it);
        }
        $("srv-enabled").checked = !!doc.enabled;
    } catch (err) {
        failed("The mail server settings cannot be read", err);
    }
}

async function saveServer(ev) {
    ev.preventDefault();
    if (!ITEMS.map(validateItem).every(Boolean)) {
        showAlert("danger", "The mail server settings were not saved", "Correct the marked fields.");
        return;
    }
    const changes = ITEMS.filter(it => {
        const v = $(`srv-${it.key}`).value;
        return it.secret ? v !== "" : v !== (serverValues[it.key] ?? "");
    });
    if (changes.length === 0) {
        succeeded("Nothing to save: the settings are as stored");
        return;
    }
    $("srv-save").disabled = true;
    let ok = true;
    for (const it of changes) {
        try {
            await cli(["mail", "server", "set", String(it.no), "--", $(`srv-${it.key}`).value]);
        } catch (err) {
            ok = false;
            failed(`${it.label} was not saved`, err);
        }
    }
    $("srv-save").disabled = false;
    if (ok) succeeded("The mail server settings were saved");
    await loadServer();
}

async function setEnabled() {
    const on = $("srv-enabled").checked;
    try {
        await cli(["mail", "enable", on ? "on" : "off"]);
        succeeded(on ? "Mail is on" : "Mail is off");
    } catch (err) {
        $("srv-enabled").checked = !on;
        failed(`Mail could not be switched ${on ? "on" : "off"}`, err);
    }
}

async function loadRecipients() {
    let doc;
    try {
        doc = await cli(["mail", "list"]);
    } catch (err) {
        failed("The mail recipients cannot be read", err);
        return;
    }
    $("rcpt-rows").innerHTML = doc.slots.map(s => `<tr>
        <td data-label="Slot">${s.slot}</td>
        <td data-label="Address"><span class="pf-v5-c-form-control pm-slot-input"><input type="text" id="rcpt-${s.slot}" data-stored="${esc(s.address ?? "")}" value="${esc(s.address ?? "")}" placeholder="empty" aria-label="Recipient ${s.slot}"></span>
            <div class="pf-v5-c-form__helper-text pm-error" id="rcpt-${s.slot}-help"></div></td>
        <td class="pm-row-actions"><button class="pf-v5-c-button pf-m-secondary pf-m-small" type="button" data-save="${s.slot}">Save</button><button class="pf-v5-c-button pf-m-link pf-m-small" type="button" data-clear="${s.slot}" ${s.address === null ? "disabled" : ""}>Clear</button></td></tr>`).join("");
}

async function recipientAction(ev) {
    const btn = ev.target.closest("button");
    if (!btn) return;
    const slot = btn.dataset.save ?? btn.dataset.clear;
    if (slot === undefined) return;
    const input = $(`rcpt-${slot}`);
    const help = $(`rcpt-${slot}-help`);
    let args;
    if (btn.dataset.clear !== undefined || input.value === "") {
        args = ["mail", "clear", slot];
    } else {
        const problem = checkText(input.value, 127, true);
        help.textContent = problem || "";
        input.parentElement.classList.toggle("pf-m-error", !!problem);
        if (problem) return;
        args = ["mail", "set", slot, "--", input.value];
    }
    btn.disabled = true;
    try {
        await cli(args);
        succeeded(args[1] === "set" ? `Recipient ${slot} saved` : `Recipient ${slot} cleared`);
    } catch (err) {
        failed(`Recipient ${slot} was not ${args[1] === "set" ? "saved" : "cleared"}`, err);
    }
    btn.disabled = false;
    loadRecipients();
}

async function sendTest() {
    $("test-send").disabled = true;
    $("test-busy").hidden = false;
    $("test-results").innerHTML = "";
    let doc = null;
    try {
        doc = await cli(["mail", "test"]);
        succeeded("The test mail was sent to every recipient");
    } catch (err) {
        doc = err.document || null;
        failed("The test mail did not reach every recipient", err);
    }
    if (doc && doc.recipients) {
        $("test-results").innerHTML = doc.recipients.map(r => `<li class="${r.sent ? "pm-sev-ok" : "pm-sev-critical"}">
            ${r.sent ? ICONS.ok : ICONS.critical} ${esc(r.address)}: ${r.sent ? "sent" : esc(r.reason) + (r.detail ? " (" + esc(r.detail) + ")" : "")}</li>`).join("");
    }
    $("test-busy").hidden = true;
    $("test-send").disabled = false;
}

function loadMail() {
    loadServer();
    loadRecipients();
}

/* ---- Agent ----------------------------------------------------------------------------- */

async function loadAgent() {
    const rows = [];
    const alive = await cli(["alive"]).then(d => ({ ok: true, d }), err => ({ ok: false, err }));
    rows.push(["State", alive.ok
        ? `<span class="pm-sev-ok">${ICONS.ok} running</span> (${esc(alive.d.host)}:${esc(alive.d.port)})`
        : `<span class="pm-sev-critical">${ICONS.critical} not running</span> <div class="pm-detail">${esc(alive.err.error)}</div>`]);
    // The agent program: on the PATH, or where the package installs it (/usr/sbin is not on the
    // PATH of every session).
    let agent = "pellomar";
    let version = await run([agent, "--version"]);
    if (!version.ok && version.problem === "not-found") {
        agent = "/usr/sbin/pellomar";
        version = await run([agent, "--version"]);
    }
    rows.push(["Version", version.ok ? esc(version.out.trim()) : "unknown (the agent program is not on this host's PATH)"]);
    const cliVersion = await run([CLI, "--version"]);
    rows.push(["Client", cliVersion.ok ? esc(cliVersion.out.trim()) : "unknown"]);
    const check = await run([agent, "--check-config"]);
    const settings = {};
    for (const line of check.out.split("\n")) {
        const m = /^([a-z_]+\.[a-z_]+)\s*=\s*(.*)$/.exec(line.trim());
        if (m) settings[m[1]] = m[2];
    }
    const known = Object.keys(settings).length > 0;
    const gui = Object.keys(settings).filter(k => k.startsWith("gui."));
    rows.push(["GUI port", !known ? "unknown (pellomar --check-config cannot be run here)"
        : gui.map(k => `<div><code>${esc(k.slice(4))}</code> = ${esc(settings[k])}</div>`).join("") +
          (check.ok ? "" : `<div class="pm-sev-warning">${ICONS.warning} the settings file has faults; the port serves loopback clients only</div>`)]);
    let metrics = "unknown";
    if (known) {
        const value = k => settings[k].replace(/\s+#.*$/, "").replace(/^"(.*)"$/, "$1");
        const on = Object.keys(settings).filter(k => k.startsWith("metrics.") && !/^(|\(off\)|off|none|\(none\))$/.test(value(k)));
        metrics = on.length ? `on: ${on.map(k => `<code>${esc(k.slice(8))}</code> = ${esc(settings[k])}`).join(", ")}` : "off";
    }
    rows.push(["Metrics", metrics]);
    $("agent-list").innerHTML = rows.map(([t, d]) => `<div class="pf-v5-c-description-list__group">
        <dt class="pf-v5-c-description-list__term"><span class="pf-v5-c-description-list__text">${t}</span></dt>
        <dd class="pf-v5-c-description-list__description"><div class="pf-v5-c-description-list__text" data-row="${t}">${d}</div></dd></div>`).join("");
}

/* ---- Start ----------------------------------------------------------------------------- */

function init() {
    for (const li of document.querySelectorAll("#tabs li"))
        li.querySelector("button").addEventListener("click", () => selectTab(li.dataset.tab));
    $("ev-serial").addEventListener("change", () => { events = []; refreshEvents(); });
    $("ev-severity").addEventListener("change", renderEvents);
    $("ev-clear").addEventListener("click", clearHistory);
    $("confirm-no").addEventListener("click", () => { $("confirm").hidden = true; });
    buildServerForm();
    $("srv-form").addEventListener("submit", saveServer);
    $("srv-reload").addEventListener("click", loadMail);
    $("srv-enabled").addEventListener("change", setEnabled);
    $("rcpt-rows").addEventListener("click", recipientAction);
    $("test-send").addEventListener("click", sendTest);

    overviewEmpty("Loading", "Asking the agent for its controllers…");
    $("ctl-rescan").addEventListener("click", () => { rescanWanted = true; refreshOverview(); });
    refreshOverview();
    setInterval(() => { if (!document.hidden && current === "overview") refreshOverview(); }, OVERVIEW_MS);
    setInterval(() => { if (!document.hidden && current === "events") refreshEvents(); }, EVENTS_MS);
}

document.addEventListener("DOMContentLoaded", init);
