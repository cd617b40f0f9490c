#!/usr/bin/env python3
"""Writes an LRCLIB-schema database dump of N made-up tracks, the same for the same seed.

  make_lrclib_dump.py N OUT.sqlite3 [--seed S] [--list TSV]
  make_lrclib_dump.py N OUT.sqlite3.gz ...      the same, gzipped as LRCLIB publishes it

The tracks are of every kind an import meets, drawn in fixed shares: plain and synced lyrics,
plain only, synced only, instrumental, without lyrics (no lyrics row, or one with no text);
a third of those with lyrics have older revisions, and now and then the current one (the row
last_lyrics_id names) is not the newest row. Names are ASCII, accented Latin or CJK. Tracks and
their lyrics are written in turn, as a live database grows, so their pages interleave.

--list writes "artist<TAB>title<TAB>kind" for each track, kind being what the import should
make of it: plain+synced, plain, synced, instrumental or none.
"""

import argparse
import gzip
import os
import random
import shutil
import sqlite3
import sys

SCHEMA = """
CREATE TABLE tracks (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT, name_lower TEXT, artist_name TEXT, artist_name_lower TEXT,
  album_name TEXT, album_name_lower TEXT, duration FLOAT, last_lyrics_id INTEGER,
  created_at DATETIME, updated_at DATETIME,
  FOREIGN KEY (last_lyrics_id) REFERENCES lyrics (id)
);
CREATE TABLE lyrics (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  plain_lyrics TEXT, synced_lyrics TEXT, track_id INTEGER,
  has_plain_lyrics BOOLEAN, has_synced_lyrics BOOLEAN, instrumental BOOLEAN,
  source TEXT, created_at DATETIME, updated_at DATETIME,
  FOREIGN KEY (track_id) REFERENCES tracks (id)
);
CREATE INDEX idx_tracks_last_lyrics_id ON tracks (last_lyrics_id);
CREATE INDEX idx_lyrics_track_id ON lyrics (track_id);
"""

# Shares out of 100, in order: what each track's current lyrics are.
KINDS = [("plain+synced", 45), ("plain", 15), ("synced", 15), ("instrumental", 5),
         ("none", 20)]

LATIN = ("ba be bi bo bu da de di do du ka ke ki ko ku la le li lo lu ma me mi mo mu na ne ni no "
         "nu ra re ri ro ru sa se si so su ta te ti to tu va ve vi vo vu").split()
ACCENTED = "é è ê ë á à â ä ó ö ô ú ü ñ ç ø å í".split()
CJK = ("愛 夜 空 海 風 花 雪 月 星 光 心 夢 涙 道 春 秋 君 僕 사 랑 하 늘 바 다 별 꿈 노 래 "
       "さ く ら な み だ こ こ ろ そ ら").split()


class Words:
    """Made-up words and lines from one seeded stream."""

    def __init__(self, rng):
        self.rng = rng
        self.vocab = [self._latin_word() for _ in range(4000)]
        # Lyrics reuse lines from a pool, as songs share common lines; drawing from it keeps a
        # million tracks quick to write.
        self.lines = [self._line() for _ in range(20000)]

    def _latin_word(self):
        return "".join(self.rng.choice(LATIN) for _ in range(self.rng.randint(1, 3)))

    def _line(self):
        words = [self.rng.choice(self.vocab) for _ in range(self.rng.randint(3, 8))]
        return " ".join(words).capitalize()

    def name(self, style, count):
        rng = self.rng
        if style == "cjk":
            return "".join(rng.choice(CJK) for _ in range(count + 1))
        words = [rng.choice(self.vocab).capitalize() for _ in range(count)]
        if style == "accented":
            k = rng.randrange(count)
            w = words[k]
            at = rng.randrange(len(w))
            words[k] = w[:at] + rng.choice(ACCENTED) + w[at + 1:]
        return " ".join(words)

    def verses(self, count):
        return [self.rng.choice(self.lines) for _ in range(count)]


def synced_text(lines, start):
    out = []
    at = start
    for line in lines:
        out.append("[%02d:%05.2f] %s" % (int(at // 60), at % 60, line))
        at += 3.5
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", type=int)
    parser.add_argument("out")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--list")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    words = Words(rng)
    gzipped = args.out.endswith(".gz")
    path = args.out[:-3] + ".part" if gzipped else args.out
    for stale in (path, path + "-journal"):
        if os.path.exists(stale):
            os.remove(stale)
    db = sqlite3.connect(path)
    db.execute("PRAGMA journal_mode = OFF")
    db.execute("PRAGMA synchronous = OFF")
    db.executescript(SCHEMA)
    listing = open(args.list, "w", encoding="utf-8") if args.list else None

    kinds = []
    for kind, share in KINDS:
        kinds += [kind] * share
    lyrics_id = 0
    tracks = []
    lyrics = []
    stamp = "2024-05-01 12:00:00"

    def flush():
        db.executemany("INSERT INTO tracks VALUES (?,?,?,?,?,?,?,?,?,?,?)", tracks)
        db.executemany("INSERT INTO lyrics VALUES (?,?,?,?,?,?,?,?,?,?)", lyrics)
        tracks.clear()
        lyrics.clear()

    artist = album = ""
    for track_id in range(1, args.count + 1):
        style = rng.choices(("ascii", "accented", "cjk"), (70, 20, 10))[0]
        if track_id % 12 == 1:
            artist = words.name(style, rng.randint(1, 3))
            album = words.name(style, rng.randint(1, 3))
        title = words.name(style, rng.randint(1, 4))
        duration = round(rng.uniform(90, 420), rng.choice((0, 2)))
        kind = kinds[rng.randrange(100)]

        # The revisions, oldest first; the current one is the last, or now and then an earlier
        # one (a revision undone), which the import must take over the newer rows.
        revisions = []
        current = None
        if kind != "none" or rng.random() < 0.25:
            count = 1 + (rng.random() < 0.33) * rng.randint(1, 2)
            for revision in range(count):
                verses = words.verses(rng.randint(12, 40))
                plain = synced = None
                if kind in ("plain+synced", "plain"):
                    plain = "\n".join(verses)
                if kind in ("plain+synced", "synced"):
                    synced = synced_text(verses, rng.uniform(1, 20))
                if revision + 1 < count:
                    # An older revision says so, and has both kinds: what it holds must not win.
                    plain = "(superseded revision %d)\n" % (revision + 1) + "\n".join(verses)
                    synced = synced_text(["(superseded)"] + verses, 1)
                if kind == "none":
                    plain = synced = ""  # a row with no text: still without lyrics
                lyrics_id += 1
                revisions.append(lyrics_id)
                lyrics.append((lyrics_id, plain, synced, track_id, plain is not None and plain != "",
                               synced is not None and synced != "", kind == "instrumental",
                               "lrclib", stamp, stamp))
            current = revisions[-1]
            if len(revisions) > 1 and rng.random() < 0.2:
                current = revisions[0]
                # The undone revision becomes the newest row's text, and the first the right one.
                first = list(lyrics[-len(revisions)])
                last = list(lyrics[-1])
                first[1], last[1] = last[1], first[1]
                first[2], last[2] = last[2], first[2]
                lyrics[-len(revisions)] = tuple(first)
                lyrics[-1] = tuple(last)
        tracks.append((track_id, title, title.lower(), artist, artist.lower(), album, album.lower(),
                       duration, current, stamp, stamp))
        if listing:
            listing.write("%s\t%s\t%s\n" % (artist, title, kind))
        if len(tracks) >= 5000:
            flush()
    flush()
    db.commit()
    db.close()
    if listing:
        listing.close()
    if gzipped:
        with open(path, "rb") as raw, gzip.open(args.out, "wb", compresslevel=1) as packed:
            shutil.copyfileobj(raw, packed, 1 << 20)
        os.remove(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
