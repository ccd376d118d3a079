#include "ui/frame_descriptions.h"

#include "tallory/metadata.h"

namespace tallory::ui {

namespace {

struct Description {
    int frameId;
    const char* text;
};

// ID3v2.3 section 4: the definitions, mostly shortened to what follows the frame's name.
constexpr Description kDescriptions[] = {
    {METADATA_FRAME_APIC, "Contains a picture directly related to the audio file."},
    {METADATA_FRAME_COMM, "Intended for any kind of full text information that does not fit in any other frame."},
    {METADATA_FRAME_TALB, "Intended for the title of the recording(/source of sound) which the audio in the file is taken from."},
    {METADATA_FRAME_TBPM, "Contains the number of beats per minute in the mainpart of the audio."},
    {METADATA_FRAME_TCOM, "Intended for the name of the composer(s)."},
    {METADATA_FRAME_TCON, "The content type, which previously was stored as a one byte numeric value only."},
    {METADATA_FRAME_TCOP, "Intended for the copyright holder of the original sound, beginning with a year and a space character."},
    {METADATA_FRAME_TDAT, "A numeric string in the DDMM format containing the date for the recording."},
    {METADATA_FRAME_TDLY, "Defines the numbers of milliseconds of silence between every song in a playlist."},
    {METADATA_FRAME_TENC, "Contains the name of the person or organisation that encoded the audio file."},
    {METADATA_FRAME_TEXT, "Intended for the writer(s) of the text or lyrics in the recording."},
    {METADATA_FRAME_TFLT, "Indicates which type of audio this tag defines."},
    {METADATA_FRAME_TIME, "A numeric string in the HHMM format containing the time for the recording."},
    {METADATA_FRAME_TIT1, "Used if the sound belongs to a larger category of sounds/music."},
    {METADATA_FRAME_TIT2, "The actual name of the piece (e.g. \"Adagio\", \"Hurricane Donna\")."},
    {METADATA_FRAME_TIT3, "Used for information directly related to the contents title (e.g. \"Op. 16\" or \"Performed live at Wembley\")."},
    {METADATA_FRAME_TKEY, "Contains the musical key in which the sound starts."},
    {METADATA_FRAME_TLAN, "Contains the languages of the text or lyrics spoken or sung in the audio."},
    {METADATA_FRAME_TLEN, "Contains the length of the audiofile in milliseconds"},
    {METADATA_FRAME_TMED, "Describes from which media the sound originated."},
    {METADATA_FRAME_TOAL, "Intended for the title of the original recording, if for example the music in the file should be a cover of a previously released song."},
    {METADATA_FRAME_TOFN, "Contains the preferred filename for the file, since some media doesn't allow the desired length of the filename."},
    {METADATA_FRAME_TOLY, "Intended for the text writer(s) of the original recording."},
    {METADATA_FRAME_TOPE, "Intended for the performer(s) of the original recording."},
    {METADATA_FRAME_TORY, "Intended for the year when the original recording was released."},
    {METADATA_FRAME_TOWN, "Contains the name of the owner or licensee of the file and its contents."},
    {METADATA_FRAME_TPE1, "Used for the main artist(s)."},
    {METADATA_FRAME_TPE2, "Used for additional information about the performers in the recording."},
    {METADATA_FRAME_TPE3, "Used for the name of the conductor."},
    {METADATA_FRAME_TPE4, "Contains more information about the people behind a remix and similar interpretations of another existing piece."},
    {METADATA_FRAME_TPOS, "Tells which part of a set the audio came from, e.g. \"1/2\"."},
    {METADATA_FRAME_TPUB, "Contains the name of the label or publisher."},
    {METADATA_FRAME_TRCK, "Contains the order number of the audio-file on its original recording, e.g. \"4/9\"."},
    {METADATA_FRAME_TRDA, "Intended as a complement to the year, date and time frames, e.g. \"4th-7th June, 12th June\"."},
    {METADATA_FRAME_TRSN, "Contains the name of the internet radio station from which the audio is streamed."},
    {METADATA_FRAME_TRSO, "Contains the name of the owner of the internet radio station from which the audio is streamed."},
    {METADATA_FRAME_TSIZ, "Contains the size of the audiofile in bytes, excluding the ID3v2 tag."},
    {METADATA_FRAME_TSRC, "Contains the International Standard Recording Code (ISRC) (12 characters)."},
    {METADATA_FRAME_TSSE, "Includes the used audio encoder and its settings when the file was encoded."},
    {METADATA_FRAME_TXXX, "Intended for one-string text information concerning the audiofile in a similar way to the other \"T\"-frames."},
    {METADATA_FRAME_TYER, "Contains the year of the recording."},
    {METADATA_FRAME_USLT, "Contains the lyrics of the song or a text transcription of other vocal activities."},
    {METADATA_FRAME_WCOM, "Contains a URL pointing at a webpage with information such as where the album can be bought."},
    {METADATA_FRAME_WCOP, "Contains a URL pointing at a webpage where the terms of use and ownership of the file is described."},
    {METADATA_FRAME_WOAF, "Contains a URL pointing at a file specific webpage."},
    {METADATA_FRAME_WOAR, "Contains a URL pointing at the artists official webpage."},
    {METADATA_FRAME_WOAS, "Contains a URL pointing at the webpage of the audio source, e.g. a movie."},
    {METADATA_FRAME_WORS, "Contains a URL pointing at the homepage of the internet radio station."},
    {METADATA_FRAME_WPAY, "Contains a URL pointing at a webpage that will handle the process of paying for this file."},
    {METADATA_FRAME_WPUB, "Contains a URL pointing at the official wepage for the publisher."},
    {METADATA_FRAME_WXXX, "Intended for URL links concerning the audiofile."},
};

}  // namespace

const char* frameDescription(int frameId) {
    for (const Description& d : kDescriptions) {
        if (d.frameId == frameId) return d.text;
    }
    return "";
}

}  // namespace tallory::ui
