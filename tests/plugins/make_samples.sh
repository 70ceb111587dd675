#!/usr/bin/env bash
# Writes the audio and photo files that the metadata plug-ins are tested on, with Debian's own
# encoders and taggers, so that the plug-ins meet files as other programs write them.
#
#   make_samples.sh OUT_DIR             the few samples of the test suite
#   make_samples.sh --music N OUT_DIR   N tagged MP3 files in albums of 20 (for the parse bench)
set -euo pipefail

count=
if [ "${1:-}" = --music ]; then
  count=$2
  shift 2
fi
out=$1
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Half a second of mono silence as raw 16-bit PCM, the input of every encoder below.
head -c 44100 /dev/zero >"$work/silence.pcm"
mp3() { lame --silent -r -s 44.1 --bitwidth 16 -m m "$work/silence.pcm" "$1" 2>/dev/null; }

if [ -n "$count" ]; then
  mp3 "$work/base.mp3"
  artists=("Lantern Choir" "Mara Ellison" "The Quiet Rooms" "Osei & Delacroix" "Northbound Static"
           "Ilse Varga Trio" "Paper Harbour" "Kestrel/Finch" "Saltwater Hymns" "Dmitri Olenko")
  genres=(Rock Jazz Pop Folk Classical Electronic Blues Ambient)
  albums=("First Light" "Night Shift" "Open Water" "Small Hours" "Field Notes")
  i=0 album=0
  while [ $i -lt "$count" ]; do
    a=$((album % ${#artists[@]}))
    title=${albums[$((album / ${#artists[@]} % ${#albums[@]}))]}
    dir="$out/${artists[$a]//\//-}/$title $((album / 50 + 1))"
    mkdir -p "$dir"
    files=()
    for t in $(seq 1 20); do
      [ $i -lt "$count" ] || break
      f=$(printf '%s/%02d track.mp3' "$dir" "$t")
      cp "$work/base.mp3" "$f"
      files+=("$f")
      i=$((i + 1))
    done
    id3v2 -a "${artists[$a]}" -A "$title $((album / 50 + 1))" -g "${genres[$((album % ${#genres[@]}))]}" \
      -y $((1970 + album % 50)) "${files[@]}" >/dev/null
    album=$((album + 1))
  done
  exit 0
fi

# MP3 with ID3v1 and ID3v2.3 written by id3v2; the genre as ID3v1's number 17 (Rock).
mp3 "$out/song.mp3"
id3v2 -a "Lantern Choir" -A "Night Shift" -g 17 -y 1999 -t "Lights" "$out/song.mp3" >/dev/null

# FLAC with Vorbis comments written by metaflac: two artists, UTF-8 names, a slash in the album.
flac --silent --force-raw-format --endian=little --sign=signed --channels=1 --bps=16 --sample-rate=44100 \
  -o "$out/song.flac" "$work/silence.pcm"
metaflac --set-tag="ARTIST=Zoë Ångström" --set-tag="ARTIST=Mara Ellison" --set-tag="ALBUM=Salt/Pepper" \
  --set-tag="GENRE=Jazz" --set-tag="DATE=2004-05-01" --set-tag="TITLE=Tide" "$out/song.flac"

# Ogg Vorbis tagged by the encoder itself.
oggenc --quiet -r -B 16 -C 1 -R 44100 -a "Paper Harbour" -l "Open Water" -G Folk -d 2011 -t "Gulls" \
  -o "$out/song.ogg" "$work/silence.pcm"

# An MP3 without any tag.
mp3 "$out/untagged.mp3"

# JPEG and TIFF with EXIF written by exiftool.
/usr/bin/convert -size 32x24 xc:steelblue "$out/photo.jpg"
exiftool -q -overwrite_original -Make=Canon "-Model=Canon EOS 5D Mark II" \
  "-DateTimeOriginal=2021:07:14 10:30:00" "$out/photo.jpg"
/usr/bin/convert -size 32x24 xc:gray -compress none "$out/photo.tif"
exiftool -q -overwrite_original "-Make=NIKON CORPORATION" "-Model=NIKON D750" \
  "-DateTimeOriginal=2019:12:31 23:59:59" "$out/photo.tif"
# A JPEG without EXIF.
/usr/bin/convert -size 32x24 xc:white "$out/plain.jpg"
