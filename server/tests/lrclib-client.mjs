// Drives the server's LRCLIB-compatible API with the lrclib-api client, as a lyrics tool would:
// every record below has passed the client's own check of its fields before we see it.
//
//   node lrclib-client.mjs BASE_URL NPM_DIR      (BASE_URL like http://127.0.0.1:PORT/api)
//
// The library is the one lrclib-client-test writes. Exits 1 if any check fails.
import assert from "node:assert/strict";
import { createRequire } from "node:module";
import path from "node:path";

const [base, npmDir] = process.argv.slice(2);
if (!base || !npmDir) {
  console.error("usage: node lrclib-client.mjs BASE_URL NPM_DIR");
  process.exit(2);
}
// The package lives in the build folder, not beside this script: load it as its users require it.
const { Client, NotFoundError, RequestError } = createRequire(path.resolve(npmDir, "package.json"))(
  "lrclib-api",
);

// Only a hung server takes this long.
const client = new Client({ url: base, timeoutMs: 30_000 });

const nightSong = { track_name: "Night Song", artist_name: "Some Band" };
const nightLines = [
  { text: "The night is long", startTime: 1 },
  { text: "And the stars are out", startTime: 5.5 },
  { text: "Second verse here", startTime: 9.25 },
];

async function expectNotFound(promise) {
  await assert.rejects(promise, (error) => {
    assert.ok(error instanceof NotFoundError, `expected NotFoundError, got ${error}`);
    return true;
  });
}

const checks = {
  // Were the client's check off, every malformed record below would pass unnoticed.
  async "the client rejects a record with a field of the wrong type"() {
    const record = { id: 1, name: "T", trackName: "T", artistName: "A", albumName: "" };
    Object.assign(record, { duration: 1, instrumental: false, plainLyrics: 5, syncedLyrics: null });
    const headers = { "Content-Type": "application/json" };
    const stub = new Client({
      url: base,
      fetch: async () => new Response(JSON.stringify(record), { headers }),
    });
    await assert.rejects(stub.findLyrics({ id: 1 }), RequestError);
  },

  async "get by names, album and duration (ms, sent as seconds)"() {
    const found = await client.findLyrics({
      ...nightSong,
      album_name: "Late Hours",
      duration: 233_900,
    });
    assert.equal(found.trackName, "Night Song");
    assert.match(
      found.plainLyrics,
      /^The night is long\nAnd the stars are out\nSecond verse here\n?$/,
    );
  },

  async "get-by-names answers what get by id answers"() {
    const byNames = await client.findLyrics(nightSong);
    assert.deepEqual(await client.findLyrics({ id: byNames.id }), byNames);
  },

  async "synced lines of an .lrc, in seconds"() {
    assert.deepEqual(await client.getSynced(nightSong), nightLines);
    assert.deepEqual(
      await client.getUnsynced(nightSong),
      nightLines.map(({ text }) => ({ text })),
    );
  },

  async "a plain .txt has plain lines and no synced ones"() {
    const song = { track_name: "Morning Light", artist_name: "Quiet Duo" };
    await client.findLyrics(song);
    assert.deepEqual(await client.getUnsynced(song), [
      { text: "Morning light on the hill" },
      { text: "A kettle sings" },
    ]);
    assert.equal(await client.getSynced(song), null);
  },

  async "an instrumental"() {
    const song = { track_name: "Interlude", artist_name: "Quiet Duo" };
    assert.equal((await client.findLyrics(song)).instrumental, true);
    assert.deepEqual(await client.getUnsynced(song), [{ text: "[Instrumental]" }]);
  },

  async "names with accents and CJK, as the client encodes them"() {
    const cafe = await client.findLyrics({ track_name: "Café Rêve", artist_name: "Zoë" });
    assert.equal(cafe.trackName, "Café Rêve");
    assert.equal(cafe.artistName, "Zoë");
    assert.equal(cafe.plainLyrics.split("\n")[0], "Un café, un rêve");
    // Letter case differs from the file's: the names match as the show page matches them.
    const shouted = await client.findLyrics({ track_name: "CAFÉ RÊVE", artist_name: "ZOË" });
    assert.equal(shouted.id, cafe.id);
    const song = { track_name: "夜の歌", artist_name: "星野光" };
    assert.equal((await client.findLyrics(song)).artistName, "星野光");
    assert.deepEqual(await client.getSynced(song), [
      { text: "静かな夜に", startTime: 2 },
      { text: "星が光る", startTime: 4 },
    ]);
  },

  async "search by words and by track and artist, the exact title first"() {
    const byWords = await client.searchLyrics({ query: "night song" });
    assert.ok(byWords.length >= 1 && byWords.length <= 20, `${byWords.length} results`);
    assert.equal(byWords[0].trackName, "Night Song");
    const byFields = await client.searchLyrics({ track_name: "Café Rêve", artist_name: "Zoë" });
    assert.equal(byFields[0]?.trackName, "Café Rêve");
    assert.deepEqual(await client.searchLyrics({ query: "no such words anywhere" }), []);
  },

  async "misses are the client's NotFoundError, or null from the line getters"() {
    await expectNotFound(client.findLyrics({ track_name: "No Such Song", artist_name: "Nobody" }));
    await expectNotFound(client.findLyrics({ ...nightSong, duration: 240_000 }));
    await expectNotFound(client.findLyrics({ id: 999_999 }));
    const nobody = { track_name: "No Such Song", artist_name: "Nobody" };
    assert.equal(await client.getSynced(nobody), null);
  },

  async "publishing is refused: the challenge request answers 405"() {
    await assert.rejects(client.requestChallenge(), (error) => {
      assert.ok(error instanceof RequestError, `expected RequestError, got ${error}`);
      assert.equal(error.status, 405);
      return true;
    });
  },
};

let failed = 0;
for (const [name, check] of Object.entries(checks)) {
  try {
    await check();
    console.log(`lrclib-client: ok: ${name}`);
  } catch (error) {
    failed += 1;
    console.error(`lrclib-client: FAIL: ${name}\n${error?.stack ?? error}`);
    if (error?.cause) console.error(`  cause: ${error.cause}`);
  }
}
console.log(`lrclib-client: ${Object.keys(checks).length - failed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
