// Drives the page in headless Chromium through a real cockpit-ws, agent and simulator.
// Environment (set by tests/console/run): PM_URL, PM_SHELL_URL, PM_CLI, PM_SIM, PM_SIM_DIR, PM_AGENT_PID,
// PM_AGENT_LOG, PM_SMTP_PID, PM_SMTP_DIR, PM_SHOTS, PM_CHROMIUM.
import { execFileSync } from "node:child_process";
import { existsSync, readFileSync, readdirSync } from "node:fs";
import puppeteer from "puppeteer-core";

const env = name => {
    if (!process.env[name]) throw new Error(`${name} is not set`);
    return process.env[name];
};
const url = env("PM_URL");
const shots = env("PM_SHOTS");
const cli = (...args) => JSON.parse(execFileSync(env("PM_CLI"), ["--json", ...args], { encoding: "utf8" }));
const sim = (...args) => execFileSync(env("PM_SIM"), ["ctl", "--dir", env("PM_SIM_DIR"), ...args], { encoding: "utf8" });

let failures = 0;
let page = null;  // the page under test, once the browser runs
async function check(name, fn) {
    const t0 = Date.now();
    try {
        await fn();
        console.log(`ok    ${name} (${Date.now() - t0} ms)`);
    } catch (e) {
        failures++;
        console.log(`FAIL  ${name}: ${e.message}`);
        // What the page showed when the check failed, beside the other screenshots.
        await page?.screenshot({ path: `${shots}/failed-${failures}.png`, fullPage: true }).catch(() => {});
    }
}
function assert(cond, msg) {
    if (!cond) throw new Error(msg);
}

const browser = await puppeteer.launch({
    executablePath: process.env.PM_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run"],
});
page = await browser.newPage();
await page.setViewport({ width: 1280, height: 800 });
const pageErrors = [];
page.on("pageerror", e => pageErrors.push(e.message));
page.on("console", m => { if (m.type() === "error") pageErrors.push(m.text()); });
const shot = name => page.screenshot({ path: `${shots}/${name}.png`, fullPage: true });
const tab = async name => { await page.click(`#tab-${name}`); };
const alerts = () => page.$$eval("#alerts .pf-v5-c-alert", a => a.map(x => `${x.dataset.kind}: ${x.innerText}`));

try {
    const serials = cli("controllers").controllers.map(c => c.serial).filter(Boolean);

    await check("the overview lists the controllers within 2 s of loading", async () => {
        assert(serials.length >= 2, `the agent lists ${serials.length} controllers`);
        await page.goto(url, { waitUntil: "domcontentloaded" });
        await page.waitForFunction(n => document.querySelectorAll("#ctl-rows tr").length === n,
                                   { timeout: 2000 }, serials.length);
        const shown = await page.$$eval("#ctl-rows tr", rows => rows.map(r => r.dataset.serial));
        assert(JSON.stringify(shown) === JSON.stringify(serials), `shown ${shown}, the agent has ${serials}`);
        const rows = await page.$$eval("#ctl-rows tr", r => r.map(x => x.innerText));
        const listed = cli("controllers").controllers;
        listed.forEach((c, i) => {
            for (const part of [c.model, c.firmware, String(c.unit_byte), c.role, "OK"])
                assert(rows[i].includes(part), `row ${i} lacks '${part}': ${rows[i]}`);
        });
        assert(listed[0].role === "primary" && listed[1].role === "secondary 1",
               `roles ${listed.map(c => c.role)}`);
        await shot("overview");
    });

    await check("the overview's refreshes make the agent rescan only when asked", async () => {
        // A rescan logs one "was found" line for each port with a controller: here one.
        const rescans = () => (readFileSync(env("PM_AGENT_LOG"), "utf8").match(/^RescanCtlr : .* was found\.$/gm) || []).length;
        const refreshes = () => page.evaluate(() => Number(document.body.dataset.overviewRefreshes || 0));
        const r0 = await refreshes(), before = rescans();
        await page.waitForFunction(n => Number(document.body.dataset.overviewRefreshes) >= n, { timeout: 10000 }, r0 + 2);
        assert(rescans() === before, `${rescans() - before} rescans in two refreshes`);
        await page.click("#ctl-rescan");
        for (let i = 0; i < 50 && rescans() === before; i++) await new Promise(r => setTimeout(r, 100));
        assert(rescans() === before + 1, `${rescans() - before} rescans after the button`);
        const rows = await page.$$eval("#ctl-rows tr", r => r.length);
        assert(rows === serials.length, `${rows} rows after the refreshes`);
    });

    await check("a controller whose commands fail shows it in its state, and OK once one succeeds", async () => {
        const stateOf = serial => page.$eval(`#ctl-rows tr[data-serial="${serial}"] [data-label="State"]`, td => td.innerText.trim());
        const relay = () => { try { execFileSync(env("PM_CLI"), ["inband", serials[1], "a800"], { stdio: "ignore" }); return true; } catch (_) { return false; } };
        sim("fault", "0", "return-code", "--unit", "1", "--match", "inband", "--count", "2");
        assert(!relay() && !relay(), "the relays went through the fault");
        await page.waitForFunction(s => /2 failed commands in a row/.test(document.querySelector(`#ctl-rows tr[data-serial="${s}"] [data-label="State"]`)?.innerText || ""),
                                   { timeout: 5000 }, serials[1]);
        assert(/^OK$/.test(await stateOf(serials[0])), `the other controller is ${await stateOf(serials[0])}`);
        await shot("overview-failing");
        assert(relay(), "the relay after the fault failed");
        await page.waitForFunction(s => /^OK$/.test(document.querySelector(`#ctl-rows tr[data-serial="${s}"] [data-label="State"]`)?.innerText.trim() || ""),
                                   { timeout: 5000 }, serials[1]);
    });

    await check("an injected event appears on the events page within 3 s", async () => {
        await tab("events");
        await page.waitForSelector("#ev-serial option");
        await page.select("#ev-serial", serials[0]);
        await page.waitForFunction(() => document.querySelector("#ev-count").textContent !== "", { timeout: 3000 });
        const before = await page.$$eval("#ev-rows tr", r => r.length);
        sim("inject-event", "0", "0", "--name", "disk-offline");
        const t0 = Date.now();
        await page.waitForFunction(n => document.querySelectorAll("#ev-rows tr").length > n,
                                   { timeout: 3000 }, before);
        const ms = Date.now() - t0;
        const top = await page.$eval("#ev-rows tr", r => ({
            severity: r.dataset.severity, text: r.querySelector(".pm-text").innerText,
            shown: r.querySelector("[data-severity]").innerText,
            color: getComputedStyle(r.querySelector(".pm-sev")).color,
            icon: !!r.querySelector(".pm-sev svg"),
        }));
        const recorded = cli("history", serials[0]).events[0];
        assert(top.text === recorded.text, `shown '${top.text}', recorded '${recorded.text}'`);
        assert(/offline/i.test(top.text), `the text '${top.text}' does not say offline`);
        assert(top.severity === recorded.severity && recorded.severity === "critical",
               `severity shown ${top.severity}, recorded ${recorded.severity}`);
        assert(/Critical/.test(top.shown) && top.icon, "the severity has no label or icon");
        console.log(`      shown after ${ms} ms: ${top.text} [${top.severity}, ${top.color}]`);
        await page.select("#ev-severity", "info");
        const infoRows = await page.$$eval("#ev-rows tr", r => r.map(x => x.dataset.severity));
        assert(infoRows.every(s => s === "info"), `the filter lets through ${infoRows}`);
        await page.select("#ev-severity", "");
        await shot("events");
    });

    await check("the web console's shell lists the page in its menu and shows it with the latest event", async () => {
        const shell = await browser.newPage();
        await shell.setViewport({ width: 1280, height: 800 });
        // The shell's own pages warn of the service manager this machine does not run; only
        // what this page's frame logs counts here.
        const frameErrors = [];
        shell.on("console", m => {
            if (m.type() === "error" && /\/pellomar\//.test(m.location()?.url || "")) frameErrors.push(m.text());
        });
        shell.on("pageerror", e => frameErrors.push(e.message));
        try {
            await shell.goto(env("PM_SHELL_URL"), { waitUntil: "domcontentloaded" });
            await shell.waitForFunction(() => [...document.querySelectorAll("nav a")]
                .some(a => a.innerText.trim() === "RAID controllers" && a.getAttribute("href") === "/pellomar"),
                                        { timeout: 10000 });
            let frame = null;
            for (let i = 0; i < 100 && !frame; i++) {
                frame = shell.frames().find(f => f.name() === "cockpit1:localhost/pellomar");
                if (!frame) await new Promise(r => setTimeout(r, 100));
            }
            assert(frame, `no frame of the page: ${shell.frames().map(f => f.name()).join(", ")}`);
            await frame.waitForFunction(n => document.querySelectorAll("#ctl-rows tr").length === n,
                                        { timeout: 10000 }, serials.length);
            // The event just injected is the first controller's latest, with its severity.
            await frame.waitForFunction(() => /Critical[\s\S]*Offline/.test(document.querySelector("#ctl-rows tr")?.innerText || ""),
                                        { timeout: 5000 });
            const active = await shell.$eval("nav a[href='/pellomar']", a => a.className);
            assert(/current|active/.test(active), `the menu item is not marked current: ${active}`);
            await shell.screenshot({ path: `${shots}/shell-overview.png` });
            assert(frameErrors.length === 0, `the page logged: ${frameErrors.join(" | ")}`);
        } finally {
            await shell.close();
        }
    });

    await check("clearing the history asks first, then empties it", async () => {
        await page.click("#ev-clear");
        await page.waitForSelector("#confirm:not([hidden])", { timeout: 2000 });
        await shot("events-clear-confirm");
        await page.click("#confirm-no");
        assert(cli("history", serials[0]).count > 0, "cancel cleared the history");
        await page.click("#ev-clear");
        await page.waitForSelector("#confirm:not([hidden])", { timeout: 2000 });
        await page.click("#confirm-yes");
        await page.waitForFunction(() => [...document.querySelectorAll("#alerts .pf-v5-c-alert")]
            .some(a => /cleared/.test(a.innerText)), { timeout: 5000 });
        await page.waitForFunction(() => document.querySelectorAll("#ev-rows tr").length === 0 &&
                                       !document.querySelector("#ev-empty").hidden, { timeout: 5000 });
        // The agent's history stays empty, even after a rescan (which `controllers` asks for)
        // reloads the histories from their files.
        cli("controllers");
        const left = cli("history", serials[0]).count;
        assert(left === 0, `the agent still holds ${left} events after a rescan`);
        await shot("events-cleared");
    });

    await check("a mail server setting saved in the form reads back through the client", async () => {
        await tab("mail");
        await page.waitForFunction(() => document.querySelectorAll("#rcpt-rows tr").length === 12, { timeout: 5000 });
        const server = `smtp-${Date.now() % 100000}.example.test:2525`;
        // A stored password stays when the form's password field is left empty.
        cli("mail", "server", "set", "4", "s3cret");
        await tab("mail");
        await page.waitForFunction(() => /a password is stored/.test(document.querySelector("#srv-password-help")?.innerText || ""),
                                   { timeout: 5000 });
        // A note longer than the agent keeps is refused in the page.
        await page.$eval("#srv-note", el => { el.value = ""; });
        await page.type("#srv-note", "n".repeat(64));
        assert(/at most 63/.test(await page.$eval("#srv-note-help", el => el.innerText)), "a 64-character note passes");
        await page.$eval("#srv-note", el => { el.value = ""; });
        await page.type("#srv-note", "n");
        // A value with a blank is refused in the page, and nothing reaches the agent.
        await page.$eval("#srv-server", el => { el.value = ""; });
        await page.type("#srv-server", "bad value");
        const help = await page.$eval("#srv-server-help", el => el.innerText);
        assert(/blank/.test(help), `no validation message: '${help}'`);
        await page.$eval("#srv-server", el => { el.value = ""; });
        await page.type("#srv-server", server);
        await page.$eval("#srv-sender", el => { el.value = ""; });
        await page.type("#srv-sender", "raid-agent@example.test");
        await page.click("#srv-save");
        await page.waitForFunction(() => [...document.querySelectorAll("#alerts .pf-v5-c-alert")]
            .some(a => /saved/.test(a.innerText)), { timeout: 10000 });
        const got = cli("mail", "server");
        assert(got.server === server, `the agent has server ${got.server}, not ${server}`);
        assert(got.sender === "raid-agent@example.test", `the agent has sender ${got.sender}`);
        assert(cli("mail", "server", "--show-password").password === "s3cret", "the empty password field changed the password");
        // A recipient the client refuses (the page's own check lets it through) shows the client's
        // own message, and nothing is stored.
        await page.$eval("#rcpt-1", el => { el.value = "a(b)@example.test"; });
        await page.click('[data-save="1"]');
        await page.waitForFunction(() => [...document.querySelectorAll("#alerts .pf-v5-c-alert")]
            .some(a => /Recipient 1 was not saved/.test(a.innerText)), { timeout: 5000 });
        const refused = (await alerts()).find(a => /Recipient 1 was not saved/.test(a));
        assert(/^danger: [\s\S]*a\(b\)@example\.test/.test(refused), `the alert lacks the client's message: ${refused}`);
        assert(cli("mail", "list").slots[1].address === null, "the refused recipient was stored");
        await page.$$eval("#alerts .pf-v5-c-alert[data-kind=danger] button", b => b.forEach(x => x.click()));
        // Saved, then cleared with its button.
        await page.$eval("#rcpt-1", el => { el.value = "ops@example.test"; });
        await page.click('[data-save="1"]');
        await page.waitForFunction(() => document.querySelector("#rcpt-1")?.dataset.stored === "ops@example.test", { timeout: 5000 });
        await page.click('[data-clear="1"]');
        await page.waitForFunction(() => !document.querySelector("#rcpt-1")?.dataset.stored, { timeout: 5000 });
        assert(cli("mail", "list").slots[1].address === null, "the cleared recipient is still stored");
        // The mail switch, both ways.
        for (const want of [true, false]) {
            await page.click("label[for=srv-enabled]");
            await page.waitForFunction(w => [...document.querySelectorAll("#alerts .pf-v5-c-alert")]
                .some(a => a.innerText.includes(w ? "Mail is on" : "Mail is off")), { timeout: 5000 }, want);
            assert(cli("mail", "server").enabled === want, `the switch did not turn mail ${want ? "on" : "off"}`);
        }
        await page.$eval("#rcpt-0", el => { el.value = "admin@example.test"; });
        await page.click('[data-save="0"]');
        await page.waitForFunction(() => document.querySelector("#rcpt-0")?.dataset.stored === "admin@example.test", { timeout: 5000 });
        assert(cli("mail", "list").slots[0].address === "admin@example.test", "the recipient was not stored");
        await shot("mail");
    });

    // The loopback SMTP server's own saved messages ("mail-N.eml").
    const smtpDir = env("PM_SMTP_DIR");
    const received = () => readdirSync(smtpDir).filter(f => /^mail-\d+\.eml$/.test(f)).sort();
    const testResults = () => page.$$eval("#test-results li", l => l.map(x => ({ ok: x.classList.contains("pm-sev-ok"), text: x.innerText.trim() })));
    let testMailAt = 0;

    await check("the test mail button shows each recipient sent through the SMTP server", async () => {
        const server = `127.0.0.1:${readFileSync(`${smtpDir}/port`, "utf8").trim()}`;
        await page.$eval("#srv-server", el => { el.value = ""; });
        await page.type("#srv-server", server);
        await page.$$eval("#alerts .pf-v5-c-alert[data-kind=success] button", b => b.forEach(x => x.click()));
        await page.click("#srv-save");
        await page.waitForFunction(() => [...document.querySelectorAll("#alerts .pf-v5-c-alert")]
            .some(a => /server settings were saved/.test(a.innerText)), { timeout: 10000 });
        assert(cli("mail", "server").server === server, "the SMTP server was not saved");
        const before = received().length;
        testMailAt = Date.now();
        await page.click("#test-send");
        await page.waitForFunction(() => document.querySelectorAll("#test-results li").length > 0, { timeout: 60000 });
        const shown = await testResults();
        assert(shown.length === 1 && shown[0].ok && /admin@example\.test: sent/.test(shown[0].text),
               `shown ${JSON.stringify(shown)}`);
        const got = received();
        assert(got.length === before + 1, `the server received ${got.length - before} messages`);
        const mail = readFileSync(`${smtpDir}/${got[got.length - 1]}`, "utf8");
        assert(/^RCPT TO:admin@example\.test$/m.test(mail), `the message went elsewhere: ${mail.slice(0, 200)}`);
        assert((await alerts()).some(a => /success: .*sent to every recipient/s.test(a)), "no success note");
        await shot("mail-test-sent");
    });

    await check("the agent page shows the agent running", async () => {
        await tab("agent");
        await page.waitForFunction(() => /running/.test(document.querySelector('[data-row="State"]')?.innerText || ""), { timeout: 5000 });
        const text = await page.$eval("#agent-list", el => el.innerText);
        assert(/GUI port[\s\S]*listen/.test(text), `no GUI port settings: ${text}`);
        assert(/Metrics\s+off/.test(text), `metrics not shown off: ${text}`);
        await shot("agent");
    });

    await check("with the SMTP server down the test mail shows the failure and the client's message", async () => {
        process.kill(Number(env("PM_SMTP_PID")), "SIGTERM");
        const port = readFileSync(`${smtpDir}/port`, "utf8").trim();
        for (let i = 0; i < 50 && existsSync(`/proc/${env("PM_SMTP_PID")}`); i++) await new Promise(r => setTimeout(r, 100));
        // The agent sends at most one test mail every 10 s.
        const wait = testMailAt + 10500 - Date.now();
        if (wait > 0) await new Promise(r => setTimeout(r, wait));
        await tab("mail");
        await page.click("#test-send");
        await page.waitForFunction(() => [...document.querySelectorAll("#alerts .pf-v5-c-alert")]
            .some(a => /did not reach/.test(a.innerText)), { timeout: 60000 });
        const alert = (await alerts()).find(a => /did not reach/.test(a));
        assert(/^danger: /.test(alert) && /1 of 1 recipients failed/.test(alert), `the alert says: ${alert}`);
        const shown = await testResults();
        assert(shown.length === 1 && !shown[0].ok && /^admin@example\.test: /.test(shown[0].text) && !/: sent$/.test(shown[0].text),
               `shown ${JSON.stringify(shown)} with the server on port ${port} down`);
        console.log(`      shown: ${shown[0].text}`);
        await page.screenshot({ path: `${shots}/mail-test-failed-as-seen.png` });
        await shot("mail-test-failed");
        // The expected failure is dismissed, as an administrator would, so that the last check
        // sees only unexpected ones.
        await page.$$eval("#alerts .pf-v5-c-alert[data-kind=danger] button", b => b.forEach(x => x.click()));
    });

    await check("with the agent stopped the overview shows its empty state", async () => {
        process.kill(Number(env("PM_AGENT_PID")), "SIGTERM");
        await tab("overview");
        await page.waitForFunction(() => !document.querySelector("#ctl-empty").hidden &&
                                       /not running/.test(document.querySelector("#ctl-empty-title").innerText),
                                   { timeout: 10000 });
        const body = await page.$eval("#ctl-empty", el => el.innerText);
        assert(/Start the Pellomar agent/.test(body), `no advice: ${body}`);
        assert(!/[{}]/.test(body), `the empty state shows raw output: ${body}`);
        await shot("overview-agent-stopped");
        await tab("agent");
        await page.waitForFunction(() => /not running/.test(document.querySelector('[data-row="State"]')?.innerText || ""), { timeout: 5000 });
        await shot("agent-stopped");
    });

    const bad = (await alerts()).filter(a => !a.startsWith("success"));
    await check("no action failed and the page logged no error", async () => {
        assert(bad.length === 0, `alerts: ${bad.join(" | ")}`);
        assert(pageErrors.length === 0, `page errors: ${pageErrors.join(" | ")}`);
    });
} finally {
    await browser.close();
}
process.exit(failures ? 1 : 0);
