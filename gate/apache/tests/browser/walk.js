// Walks the TokenGate demo in headless Chromium: protected page -> sign-on -> back with the
// injected headers -> reload past the token's update window (cookie renewed) -> a script's fetch()
// after the session ended gets 401 -> log out -> sign-on again. Saves a screenshot on failure.
// Usage: node walk.js <base-url> <playwright-core dir> <output dir>
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');

const [base, playwrightDir, outDir] = process.argv.slice(2);
const { chromium } = require(path.join(playwrightDir, 'node_modules', 'playwright-core'));
const COOKIE = 'TesseraToken';
const UPDATE_WINDOW_MS = Number(process.env.TG_UPDATE_WINDOW || 2) * 1000;

function check(condition, message) {
  if (!condition) throw new Error(message);
  console.log(`ok - ${message}`);
}

async function tokenCookie(context) {
  const cookies = await context.cookies(base);
  const c = cookies.find((x) => x.name === COOKIE);
  return c ? c.value : undefined;
}

(async () => {
  const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tg-chromium-'));
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = context.pages()[0] || (await context.newPage());
  let failed = false;
  try {
    await page.goto(`${base}/app/`);
    check(page.url().startsWith(`${base}/signon/login.cgi?TargetResource=`),
          `protected page sends to sign-on (${page.url()})`);

    await page.fill('#user', 'bob');
    await page.fill('#attributes', 'mail=bob@example.test\nrole=tester');
    await Promise.all([page.waitForURL(`${base}/app/`), page.click('#signon')]);
    check((await page.textContent('#user')) === 'bob', 'back on the application, signed on as bob');
    const headers = await page.textContent('#headers');
    check(headers.includes('Tarvex-Mail') && headers.includes('bob@example.test'),
          'the application received the injected attribute headers');
    const first = await tokenCookie(context);
    check(first !== undefined && first.length > 0, 'the token cookie is set');

    await page.waitForTimeout(UPDATE_WINDOW_MS + 1500);
    await page.reload();
    check((await page.textContent('#user')) === 'bob', 'reload still signed on');
    const second = await tokenCookie(context);
    check(second !== undefined && second !== first, 'the token cookie was renewed on reload');

    // A script of the page whose session has ended gets a 401 naming the sign-on URL, which it
    // can follow, instead of a redirect it cannot.
    const cookie = (await context.cookies(base)).find((x) => x.name === COOKIE);
    await context.addCookies([{ ...cookie, value: 'expired' }]);
    const answer = await page.evaluate(async () => {
      const r = await fetch('/app/static.html', { headers: { Accept: 'application/json' } });
      return { status: r.status, auth: r.headers.get('WWW-Authenticate'), body: await r.json() };
    });
    check(answer.status === 401, `a fetch() after the session ended gets 401 (${answer.status})`);
    check(answer.body.signOnUrl.startsWith(`${base}/signon/login.cgi?TargetResource=`) &&
              answer.auth.includes(answer.body.signOnUrl),
          `the 401 names the sign-on URL (${answer.body.signOnUrl})`);
    await context.addCookies([cookie]);

    await Promise.all([page.waitForURL(`${base}/signon/logout.html`), page.click('#logout')]);
    check((await page.textContent('#signedout')) !== null, 'logged out');
    check((await tokenCookie(context)) === undefined, 'the token cookie is gone');

    await page.goto(`${base}/app/`);
    check(page.url().startsWith(`${base}/signon/login.cgi?TargetResource=`),
          'after logout the protected page sends to sign-on again');
  } catch (e) {
    failed = true;
    console.error(`not ok - ${e.message}`);
    fs.mkdirSync(outDir, { recursive: true });
    const shot = path.join(outDir, 'failure.png');
    await page.screenshot({ path: shot, fullPage: true }).catch(() => {});
    console.error(`screenshot: ${shot}`);
  } finally {
    await context.close();
    fs.rmSync(userDataDir, { recursive: true, force: true });
  }
  process.exit(failed ? 1 : 0);
})();
