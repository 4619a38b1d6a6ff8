"""Which notes are played: note events from the frames of a resonator bank.

The input is what a bank gives: complex frames (frames x channels), the note number of each
channel (at least one channel per semitone), the sample rate and the hop. The same tracker runs
offline and live: `NoteTracker.push` takes frames as they arrive (from a `FrameStream`), and
the offline `transcribe` is one push of everything and `finish`. Every step depends only on the
frames seen so far, so any chunking of a file gives exactly the events of the whole.

Per frame:
  1. Levels per semitone: the loudest channel within half a semitone of each note, channels at
     or above the Nyquist frequency left out.
  2. Pitch salience by harmonic grouping: a candidate note gathers its partials (h·f0, h = 1..8,
     weights 1/sqrt(h)). Candidates are the peaks of salience over pitch whose fundamental is
     heard (a peak of the levels within `FUNDAMENTAL_SPAN_DB` of the note's strongest partial);
     below `WEAK_FUNDAMENTAL_HZ` (the piano's lowest notes, whose fundamental is far under their
     second partial) the second, third and fifth partials stand in for it, and the second and
     third do above it for a fundamental within `WEAK_SPAN_DB` that stands above the semitones
     two away as a tone does (by `TONAL_SHARE` of a tone's fall there, in dB: the channels are
     wider in the low register), a bassoon's, far under its formant. Above it, a heard
     fundamental that stands above the semitones beside it as far as a tone's channel does
     over theirs, on no second, third or fourth partial of another, is a candidate though a
     neighbour's salience is larger: a louder note's leak fills that neighbour's partials
     (a chord note under a melody). So is a fundamental heard as a tone, its second partial
     heard too, that is a peak of salience over those neighbours whose fundamental is heard,
     where the channels are no wider than a semitone, on no second, third or fourth partial of
     another: a neighbour that is no note sums only other notes' partials. The strongest
     candidate is taken and the share of its partials that a smooth harmonic spectrum explains is
     removed; then the next, up to `VOICES` times. A voice that lies on one of the first `PARTIALS`
     partials of a lower voice and does not stand out of that voice's spectrum is dropped: it
     is the lower voice's partial (an octave up is the lower note's when that note's third
     partial is strong too: a rich tone, not a melody over a pure one). From the sixth partial
     up, a voice whose own second partial stands out of the lower voice's spectrum is kept, and
     so is one on the second, third or fifth partial whose second and third partials both do;
     below the sixth, one that stands out by less than `FORMANT_DB` while its second partial
     does not is the lower voice's formant. The lowest semitone has no channel below it to be a
     peak over: it is not one where its channel turns as a drive `DRIFT_SEMITONES` or more under
     it would (a DC offset, a slow drift or rumble, whose leak falls smoothly from the bottom of
     the bank up, whatever its level), nor where it stands less than `ALIKE_DB` above the
     semitone next to it (the ring of a click, alike in the low channels). Nor, below
     `KNOCK_HZ`, is any semitone whose channel turns so, as a fundamental or as a partial: once
     an abrupt change has rung out there, its ring beats with that leak into swells.
     Nor is a voice on a lower voice's partial dropped where it and its own second partial rose
     `LIFT_DB` in a tenth to a fifth of a second while the lower voice held its level for
     `HELD_SECONDS`: a held note does not suddenly put more into one partial; a melody note
     played on it does.
  3. Onset strength: spectral flux, the rectified rise of the log levels, grouped by harmonics
     like the salience, so that each note has its own.

Notes start when a note's salience crosses the start threshold, which is relative to the
loudest note of the recording in the last `RECORDING_SECONDS` (`RECORDING_SPAN_DB`: a loud
accent does not silence what follows for good) and of the frame (`FRAME_SPAN_DB`),
and to the frame's noise floor (`NOISE_MARGIN_DB`); so a quiet recording works like a loud one.
The notes of a chord lift that floor with each other's partials, and a chord under a louder
melody is quiet: a note whose fundamental stands out as a tone (above the semitones two away, or,
where the one between is lower, above that: a note of the chord before may still fade a tone
away), on no partial of a sounding note and an octave or a twelfth over no tone (but for one that
fell `HOLD_DB` in the last `delay_frames` frames, a note of the chord before, let go), starts
`CHORD_FLOOR_DB` nearer the floor when at least `CHORD_NOTES` - 1 other notes (not its
neighbours, not a partial away) that still hold their level began within a decision window of it,
or rise with it above that floor as tones with an attack: a chord's notes begin together. Its
onset is traced back from its own level as far as the delay allows (a slow attack's low notes are
heard late, first as their shared partials), over a dip too where its level had risen from a
floor `FLOOR_RISE_DB` deeper to within `ATTACK_DB` of where it is now (a chord's notes beat with
each other, a choir's voices drift apart), and it is kept only if it still sounds when it is
decided, unless it rises above the floor of a note alone. A note that does rise above it is
traced back as far too, where that reaches the onset of another note that holds (not its
neighbour, not a partial step away) and its level was climbing already before the onset found
otherwise: a slow attack's low note crosses that floor late, with no third note to make a chord.
Where that does not move it, one that rises above that floor as such a tone is traced back over
such a dip too (an octave or a twelfth over no sound within `FUNDAMENTAL_SPAN_DB` of it that does
not fade) where another note more than a tone away began within a decision window of where its
level first rose, and its semitone stood there within `BESIDE_DB` of the semitones a tone and a
semitone away (where the channels are no wider than a semitone, and below `KNOCK_HZ` where no
louder note under it began with it: a knock needs the whole delay to show its fall): a choir's
voice rises with its chord, sinks into a notch where it beats with the others, and comes over the
floor of a note alone only after that, while a melody's note follows the note before it, whose
leak lies far under it.
A note starts only with an attack: its partials' levels must have risen, in all (the rectified
rises of the onset strength, averaged over its partials weighted by their levels, so that a
pure tone's missing partials do not count), by `ATTACK_DB` in the `DECISION_SECONDS` +
`RISE_SECONDS` (200 ms) before it crosses the threshold. A partial that a lower note's decay
uncovers, or one that the salience of a chord hands from note to note, crosses the threshold
without rising. A note on a partial of notes held since before those frames, where no new
voice has it on a partial, starts too when its channel and its second partial's rose by
`PARTIAL_RISE_DB` in the `DECISION_SECONDS` before while the held notes' own channels did not:
played there, it adds only a few dB to channels that the held notes' partials fill.
In a room, what a note excited goes on sounding after it ends: each channel decays at the room's
rate (tens of dB a second, slower than a dry note's release), swelling and dipping by several dB
as the reflections beat, and such a swell rises as an attack does. So each semitone's envelope is
kept: the loudest it was over the last `TAIL_SECONDS`, each frame's level falling since at the
rate the recording shows after its notes' releases (the median of the slopes of their levels from
`TAIL_FROM_SECONDS` to `TAIL_TO_SECONDS` after the release, where no new note of the pitch
began and the level stayed over the floor; known once `TAIL_FALLS` releases showed one, and
never slower than `ROOM_DB_PER_SECOND`). A note does not start where its level stands under that
envelope before its onset, in its own channel and its octave's, by less than `TAIL_RISE_DB` where
a note of its pitch ended within `TAIL_SECONDS` (one played into that tail rises out of it, at its
fundamental and its partials together), or by `TAIL_DEEP_DB` elsewhere: another note's partial
decays at its own rate there, and may outlast its fundamental, but a channel also holds the leak of
the notes beside it, which a new chord's note may lie under as it grows. Nor is a sounding note
struck again there: one held on into its tail swells with it. A note an octave, a twelfth or a
double octave over one that ended within `TAIL_SECONDS` is held to `TAIL_RISE_DB` too, unless
another note (not its neighbour, nor one it lies a partial step over) began with it: each partial
of a note let go decays and beats with the room at its own frequency, and may outlast its
fundamental or swell while that fades, but it stays under what the note put there and has no
attack of its own, while a melody's or a chord's new notes come with others.
The onset is placed where the note's rise began: from its strongest rise in the last
`DECISION_SECONDS` (100 ms) back over the frames before it that still rise by `RISE_SHARE` of
that, up to `RISE_SECONDS` (100 ms) further. A slow attack (bowed strings, organ, choir) crosses
the threshold long after it began, and its steepest frame can be late too. A new note that stops
being a voice within `CONFIRM_SECONDS` more, while a lower note that started with it (within the
window) has it on one of its partials and is a voice, was that note's attack: the upper
partials' channels settle faster than the fundamental's, so a low note is first heard as its
partials. (One that only falls under the end threshold, still a voice, is a note struck with
the lower one that decays: a melody note over a chord. Nor is one over a note of a chord that
stands far out of that note's partials around it, or further over it than the recording's
timbre puts its octave, twelfth or double octave: a melody note struck with the chord, which
the chord's many partials push out of the voices for a while. Nor is one an octave over it whose
own channel rang down since its strike, no faster than a note let go falls, while the lower note's
fourth and sixth partials stood `PARTIAL_MARGIN_DB` over the odd ones beside them in
`OCTAVE_SHARE` of the frames an onset may lie in from its onset: a second string struck an octave
up adds to the even partials alone through its ring, while one string's partials fall smoothly
from one to the next; nor is it then the lower note's partial as a choir's or an organ's is.)
Such a note is dropped (where it was the
lower note's second partial and began first, the lower note began there: a bowed or blown high
note speaks in its octave before its fundamental grows), and so is a note below `KNOCK_HZ` that started with another
one `KNOCK_MARGIN_DB` louder and, before it is decided, has fallen `HOLD_DB` while that one
held: it was the knock of the attack (a bass's body, a hammer), which dies at once where a low
string rings on. So is one under that note, however loud, begun with it (a frame or two apart),
at its loudest before it and fallen so while the note rings within `FLOOR_SLACK_DB` of its
loudest, its octave `KNOCK_MARGIN_DB` under it or not rising `FLOOR_SLACK_DB` over where it was
at its onset (a note before fading there), among no two others as loud begun with it that ring
on as well (that note counted, and within `FLOOR_SLACK_DB` of their loudest): a pure
mode its attack struck (a pickup's, a body's), for a low channel settles slower than a higher
one, so a low note struck with a higher one peaks after it, and has partials of its own, while
a chord's note in a notch beats with others. A knock beats with the note's own sound and may
swell once more after a dip: that is no new attack, and a note at its pitch starting within the
delay of a knock started with it (and fell with it: one taken late, as it swells again, is
decided before it falls).
A note that starts with a lower one on its sixth or a higher partial, while its own second
partial does not stand `PARTIAL_MARGIN_DB` out of the lower note's partials beside it, is
dropped too (when it starts, and again once its onset lies `DECISION_SECONDS` +
`RISE_SECONDS` back, for a low string's channels are slow): it is one partial of a plucked or
struck string that the body lifts above the others (a guitar's eighth), begun with the string.
So each note-on is decided exactly `delay_frames` frames after its onset frame: 30 at a 10 ms
hop, 300 ms, as long as a live display can wait and still follow the music.
A plucked or struck note (at its loudest within `DECISION_SECONDS` + `RISE_SECONDS` of its
onset, decaying since by less than `RESTRIKE_DB`, at `STRUCK_DB_PER_SECOND` at least, never
coming back `FLOOR_SLACK_DB`) is struck again, besides the rule that follows, where its partials
rise by `RESTRIKE_DB` (weighted by level) within `LAG_CONSTANTS` time constants of its channel
while its own level rises `FLOOR_SLACK_DB`, with no other note begun then on its partials: a
strike renews the upper partials, which die fastest, though the fundamental may rise only a
few dB over what still rings (a harp's string plucked again); a vibrato or a beating note
comes back again and again, and a bowed or blown one holds. Where the string had rung long enough
for its partials over the fundamental to die (none within `LOWER_SPAN_DB` of it), the ringing
fundamental outweighs them all: their rise alone, weighted among themselves, is the strike.
Where a note a semitone or a tone away began with it, the restrike that follows must rise in the
note's own semitone too, not only in the level round it: an attack is a broadband transient that
spills into the semitones beside it. And a note struck and left to ring (as above, up to the dip)
is not played again by the dip of its partials' level below (a tongued dip aside) unless its
own level stands `FLOOR_SLACK_DB` above where it rang in the decision window before: its partials
die faster than its fundamental, and another note's attack lifts them, while a new strike lifts
the string.
A key or a string let go and struck again at once (legato, 30 to 50 ms between) is played again
too, once decided, though what still rings of the note let go hides most of the new attack (its
fundamental may rise only a couple of dB): where, at the window's strongest rise, its
fundamental did not fall (or rose `FLOOR_SLACK_DB` out of the damper's fall, which a low channel
is slow to show), the semitones on both sides rose `RESTRIKE_DB` and `FLOOR_SLACK_DB` further
than it, no note sounding a semitone or a tone away, and the partials that rang, on no
other sounding note's, rose together out of the damper's fall by more than the note swung before
(`_struck_again`): an attack is a broadband transient that lifts both sides of the tone, while a
vibrato moves it to one side, a swell lifts the skirts with it, and a beat moves one partial at
a time.
A string struck and left to ring drops out of the voices under louder notes and comes back as
they fade, or as the next attack spills into its channel. A note whose pitch's last note was last
a voice within `delay_frames` of its onset, having sounded for more than that (a louder note a
tone away takes it out of the voices before it has fallen far), decaying freely (at
`STRUCK_DB_PER_SECOND` at least), is dropped when it is
decided if its own level then stands no `FLOOR_SLACK_DB` above where it was in the decision window
before its onset: a ringing string only decays, while one struck again stands above what still
rang for long after the strike.
A sounding note that had fallen `RESTRIKE_DB` below its loudest (before the decision
window: a slow attack still growing has not fallen) and rises as much again is struck again:
the sounding note ends and a new one starts. A note held for the frames an onset may lie in
must rise further by as much as, since its attack, it came back up after falling, less
`DIP_SWING_DB`: a chord's notes that beat, or a choir's voices drifting apart, swing again and
again; one played again goes on swinging as the note before it did. A level that fell there
faster than its channels ring down (by `FLOOR_SLACK_DB` more) was no note let go but a notch
where its partials beat with another sound's: no restrike; nor is a dip of its partials'
level that fell so. Nor is either where the note's partials over its fundamental that are heard
(within `LOWER_SPAN_DB` of it) did not rise with it by `FLOOR_SLACK_DB` (weighted by level): a
new stroke, breath or strike renews the whole tone, while two voices of one pitch that beat, or
a voice moving through a formant, swing the fundamental alone. Nor, for a decided note, is a rise
out of a fall that most of its partials did not share (see the dips below). Nor is a note,
unless struck and left to ring, struck again while a chord holds round it (see the dips below): a
bowed, blown or sung chord's notes hold and beat with each other, and a note among them swings
with their partials, while a struck string only decays till it is struck again. A wind note tongued
again on one key dips too little for that, its own channel only 5 to 8 dB: where no chord sounds,
it is played again where its own channel and its octave's fell and rose together, the octave
further and first (its channel is faster), more than either swung before (`_stopped`); and a note
played again out of a dip is no lower note's partial, for its level before was its own note's.
A note of a chord under the floor of a note alone is struck or played again only once it
is decided: it swings with the others as it grows. So does one that began within a decision window
of `CHORD_NOTES` - 1 others that hold, neither its neighbours nor on its partial steps: it is not
played again at a frame before it was decided. Notes end, with hysteresis, when their salience
stays `HYSTERESIS_DB` below the start threshold or `DECAY_DB` below their own
peak for longer than `GAP_SECONDS`; a decided note whose own level stays within `STEADY_DB`
of its loudest goes on though, for a louder note nearby can take its place among the voices
(a melody note whose partials fall on its neighbour's) while its sound goes on. So does a
note of such a chord not yet decided whose semitone still stands out as a tone within
`STEADY_DB` of its loudest, neither on a partial of a note sounding nor an octave or a twelfth
over a tone as loud: the chord's other notes take its partials among the voices. So does a decided
note whose chord sounds on (at least `CHORD_NOTES` - 1 others begun within a decision window of it,
not its neighbours nor a partial step away, that hold their level and are voices still) while its
own level stays within `HOLD_DB` of its loudest: the notes of a chord beat with each other and
share partials, while a note let go falls that far within a few time constants of its channel, and
a chord let go falls out of the voices together. So does one, as far, while a note begun within
the delay of it an octave up holds its level: where a tone's second partial outweighs its
fundamental (a voice's formant), the voices name its octave and leave it out while it sounds on.
The offset is placed where the release began: the
first frame after which the level falls, over `RELEASE_SECONDS`, `RELEASE_DB_PER_SECOND`
faster than it had decayed from its loudest, and never comes back within `RETURN_DB`. (A bowed
or blown note holds its level and a piano's decays slowly; either falls fast once let go, and
the smoothed level takes a while to fall far.) A note with no such fall ends after its last
frame within `HOLD_DB` of its loudest. The smoothed level begins to fall before its fall is
steep: the offset goes back from there over the frames that fall `RELEASE_START_DB_PER_SECOND`
faster than the decay before.
A note's level, for its strikes and its fall, is its semitone's, but below
`WEAK_FUNDAMENTAL_HZ` its octave's: its fundamental there is too faint to tell them. (Its
velocity is its attack's: the loudest power of its partials up to its decision, so that one
touch gives one velocity on any key of any instrument, however it shares its power among its
partials.) Such a note that stops being a voice before it is decided, while another that started
with it is one, was that note's knock: a deep string rings for seconds.
No note there is a knock, though, whose own semitone rings on as a tone within `HOLD_DB` of its
loudest: its octave, alone, may hold only an offset's leak and the attack's noise.
Where the channels are wider than a semitone (below about 110 Hz), the skirts of a low note and of
its neighbour still ringing beat with each other, or with a pluck's thump, into levels that swell
like a note's. A string rings as a tone until it is let go: a note there whose semitone was no
tone (`_tones`) in the last frame it held its level is dropped when it is decided (or ends
before), unless its second partial, stronger, was one with no other note on it (a low guitar
string); and below `WEAK_FUNDAMENTAL_HZ`, where the partials name a note, so is one whose second
and third partials were not both tones.
Notes shorter than `MIN_SECONDS`, or than `SETTLING` time constants of their channel, are
dropped: they are the transients of other notes' starts.
A new note on a partial of a lower note that was sounding before it is dropped too when its
level, relative to the lower note's, has not grown `PARTIAL_RISE_DB` above what it was over the
last `HISTORY_SECONDS` before its onset, neither at its fundamental nor at its second partial
(checked `DECISION_SECONDS` + `RISE_SECONDS` after the onset, or when it ends if sooner): that
is the lower note's partial swelling or coming back after a dip (brass, the formants of a
voice), while a note played there raises the channel above what the lower note gave it.
A lower note struck and left to ring (at its loudest soon after its onset, decaying since at
`STRUCK_DB_PER_SECOND` at least) lends no growth by its fall: a string's partials decay at their
own rates, and one that beats (a piano's strings of one key) comes back out of its notch.
The recording's timbre is learned from the notes decided so far: how far each one's second,
third and fourth partials stand over its fundamental, where no other note shares them. A note
of a chord (with at least `CHORD_NOTES` - 1 others begun within the delay of it) that lies an
octave, a twelfth or two octaves over a note or voice already heard a decision window after
its onset, and stands no more than `OVERTONE_MARGIN_DB` over what that partial of the
`TIMBRE_NOTES` decided notes nearest in pitch gives it (or notes decided at the lower note's own
pitch, where theirs stood further: a body's or a pipe's resonances lie at fixed frequencies, and
lift one pitch's partial more than its neighbours'), is dropped when it is decided (or ends
before): it is an organ's octave rank or a voice's formant, as strong as the recording's own
notes have it (before any is decided, as strong as the fundamental). A melody note over a
chord's note is louder than that. Outside a chord, so is a note that began within a decision
window of the note under it, once a decided note has shown the timbre, where that note is not
struck and left to ring: a line sung by a choir or played on an organ or a string section
(detuned voices, pipes or strings, whose formants and ranks make upper partials strong) brings
them with each note's own attack, while a voice played over a held note begins on its own.
An organ sounds a rank a fifth over each pipe too (a drawbar's pure tone at one and a half
times its frequency): a note a fifth over one that holds, begun before it or with it, standing
no more than `OVERTONE_MARGIN_DB` over it, with no note sounding between the two and none over
the lower one begun with it, is dropped when it is decided (or ends before) where its own third
partial (four and a half times the lower note's frequency, on none of its partials) is no tone:
a voice playing a fifth over another brings partials of its own, and a chord's fifth begins with
its third between. (So, too, a wind note's third and sixth partials, heard as one tone a fifth
over it while its attack settles.)
A note begun an octave under one that sounded a decision window before it and holds is dropped
when it is decided if that note's channel did not rise `FLOOR_SLACK_DB` from just before its
onset: a low bowed or blown note is heard first in its octave, and its fundamental grows later
with nothing new there, while a note played under another adds its second partial to it.
A note alone whose fundamental grows that way within the delay, so that a note begins an octave
under it more than half and at most two decision windows after its onset while it holds, its
third partial within `THIRD_PARTIAL_DB` of the octave's (the odd partials are the low note's
alone), is handed over to that note when it is decided: the low note takes its onset and is
decided in its place (not under `WEAK_FUNDAMENTAL_HZ`, where a note is heard by its octave).
The steepest harmonic rise can be late for a slow attack, or a neighbour's in a chord (the
notes of a chord share partials), so the onset is the earlier of that and where the note's own
level, its semitone's, began to climb: back from now over the frames at most `FLOOR_SLACK_DB`
above the lowest so far (a louder frame before that is the sound the note follows), the first
frame past the last one within `FLOOR_SHARE` of the way from that floor up to now, when the
level rose `FLOOR_RISE_DB` at least; or where its second partial's level began to climb so, if
that was at most half a decision window before (a pipe or a voice speaks in its partials first,
and their channels settle faster); or, earlier still, where a note of a chord an octave up began
that ended before it was decided (a pipe or a bowed string heard first in its octave, as a note
there for a while, that gives way as its fundamental grows). Both look back only as far as the
delay allows. On a
partial of a lower note that still holds, that climb may be the partial's, which grows through
the lower note's attack as the partials beside it do: the climb of the note's level over theirs
is traced the same way, and where it began a decision window or more after both that climb and
the lower note's onset, the note began there (a melody note over a bowed or blown one that began
before it). A frame or two either way is no new event.
A quick attack is placed by its own channel alone, though, where the channel is its loudest
partial and rose by `ATTACK_DB` within `LAG_CONSTANTS` of its time constants from that onset:
a note's partials and its channel begin together, the channel a few time constants behind, so
an earlier harmonic rise that left the channel within `FLOOR_RISE_DB` of where it was is the
rise of another note's partials that share its channels (a fifth below has its third partial
on the note's second).
A sustained note played again without a rest (a bow change, a new breath or tongue stroke)
dips rather than falls silent, and its restrike may be too slow or too shallow in its
semitone for the rule above. A note's partials' level (the mean of their log levels above the
`FLUX_RANGE_DB` floor, weighted as in the salience) that fell by `DIP_DB` to `DIP_DEPTH_DB`
(deeper is the note ending), `DIP_SWING_DB` more than it swung before the fall (vibrato,
beating), and has risen `DIP_RISE_DB` out of the dip and half as far as it fell (a note let go
comes back a little only, as the next attack spills into its partials), ends the note, and a
new one starts: where the level left the dip if it rose quickly, else halfway down the fall,
as a slow attack grows under the old note's fading. A note heard for less than the frames an onset may lie in
since its attack, whose swing is not known yet, is struck again only if its partials' level
rose `DIP_RISE_DB` out of their lowest too: a slow attack wavers as it settles, its
fundamental's channel most. A decided note is played again out of a dip or a fall only where
most of the level of its partials over the fundamental that are heard (within `LOWER_SPAN_DB` of
it) dipped with it, each by `DIP_SWING_DB` from its loudest before the bottom to its lowest
within two frames of it: a new stroke or breath stops and renews the whole tone at once, while
where a chord's notes, or the ranks or voices of one note, beat, each partial beats at its own
rate. Nor is a note played again out of a dip while `CHORD_NOTES` - 1 others (not its neighbours,
not a partial step away) that began before that dip's new onset hold their level round it: the
notes of a held chord beat in the channels their partials share, and dip each other's level
there, while nothing new began; a chord played again begins its other notes with it.
A tongued note's partials' level dips less (a flute's upper partials ring through the stroke),
but its fundamental's own channel, where the breath stops, dips deeper: a dip of the partials'
level by `DIP_SWING_DB` only, that came back within `DIP_FLOOR_DB` of where it fell from, is a
note played again too where the fundamental's channel fell `DIP_DB` further than it at the
same time (within two frames of its bottom) and has risen `DIP_RISE_DB` since. A vibrato or a
chord's beating moves the partials' level and the fundamental's alike.
A note a semitone from a louder one sounding since before it, that holds while this one ends or
has fallen `HOLD_DB` before it is decided, is dropped: that note's vibrato or scoop swept its
pitch into the channel beside it and back (half a semitone off, a tone reads about 13 dB low in
both channels it lies between, and a tone in tune reads 23 dB low a semitone away). So is a
note a semitone from a partial of a note that holds, begun with it or before, where that partial
and the fundamental read as far off their channels toward it (`_swept_partial`): a scoop or a
vibrato moves every partial by one ratio (a reed's attack rising into its pitch).
Above `KNOCK_HZ`, a knock is a note a partial step under the one it started with: the channels
under a new note gather its partials as a harmonic series of their own, and its attack's noise
(a reed's) lifts their fundamental. So is one anywhere under a note alone (no chord) that began
with it or before it: a body resonance, fixed in frequency whatever the string plays, that the
attack strikes and that dies while the string holds.
For the same reason, the level a sounding note fell to before a restrike is the tone's
wherever its pitch lies between two channels: read from the two by the channels' response,
where its second partial lies as far off, to the same side (a pitch moves all its partials
alike; a strike's transient lifts the channels beside it at random). And a plucked or struck
note struck again had risen once to its loudest: one whose level fell `FLOOR_SLACK_DB` on the way
up and rose again swung, as a bowed or sung note's does (a violin's vibrato in its attack).
Mains hum (`MAINS_HZ` and its exact multiples, steady from the first sample to the last) is no
note: a note whose channel, read over its time constant, turns within `MAINS_TOLERANCE_HZ` of a
multiple a semitone or less from it when it is decided, or did for a decision window's frames
of the delay before, is dropped (`_mains`). No note tuned to the scale lies there (50 Hz is 35
cents over G1), and a note played on that semitone drives its channel at its own frequency.
"""

from __future__ import annotations

import math
import statistics
import threading
from collections import deque
from collections.abc import Iterable
from dataclasses import dataclass, field
from itertools import islice
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

import marlune
from marlune_tools.notes import note_name

# The tracker's thresholds move at most this far: further, every note or none passes, and the
# factor 10^(dB/20) leaves the floating-point range near 6,000 dB.
MAX_THRESHOLD_DB = 200.0
HARMONICS = (1, 2, 3, 4, 5, 6, 7, 8)
VOICES = 6  # candidates taken per frame
PARTIALS = 16  # a voice that may be one of the first this many partials of a lower one is checked
PARTIAL_STEPS = sorted({round(12 * math.log2(h)) for h in range(2, PARTIALS + 1)})  # semitones up
PARTIAL_MARGIN_DB = 6.0  # a voice on a lower one's partial must stand this far out of its spectrum
# The sixth partial and up: semitones up, and those of the partials beside twice it (2h - 1, 2h + 1).
HIGH_PARTIALS = [(round(12 * math.log2(h)), (round(12 * math.log2(2 * h - 1)), round(12 * math.log2(2 * h + 1))))
                 for h in range(6, PARTIALS + 1)]
LOWER_SPAN_DB = 20.0  # ... and come within this of the lower voice; see `salience`
WEAK_FUNDAMENTAL_HZ = 60.0  # below this, a note may be heard by its partials alone (low piano)
FUNDAMENTAL_SPAN_DB = 24.0  # see the module's notes
WEAK_SPAN_DB = 40.0  # ... and this for a fundamental whose second and third partials are heard
TONAL_SHARE = 0.75  # ... that stands this share (in dB) of a tone's fall two semitones away above them
FORMANT_DB = 12.0  # a voice on a lower one's partial, this close to its spectrum, is a formant
HELD_SECONDS = 0.4  # a lower voice held this long, on whose partial a voice rose since 0.1-0.2 s before
LIFT_DB = 6.0  # ... by this much, its own second partial too, is a note of its own; see `salience`
THIRD_PARTIAL_DB = 18.0  # a low note heard first as its octave shows its third partial within this of it
DECISION_SECONDS = 0.1  # how far back an onset is looked for when a note starts
CONFIRM_SECONDS = 0.1  # a new note may still turn out to be a lower note's attack for this long
PARTIAL_RISE_DB = 6.0  # a note on a sounding lower note's partial must outgrow it by this much
HISTORY_SECONDS = 0.5  # ... compared with its level over at most this long before the onset
RISE_SECONDS = 0.1  # an onset goes back from its steepest rise, through the rise, this far at most
RISE_SHARE = 0.25  # ... over frames that rise by at least this share of the steepest
FLOOR_SLACK_DB = 3.0  # a note's level traced back through frames at most this far above its lowest
FLOOR_SHARE = 0.25  # ... began to rise where it first climbed this share (in dB) from there to now
FLOOR_RISE_DB = 6.0  # ... when it rose at least this much; see the module's notes
PLATEAU_SECONDS = 0.05  # a level traced back is not traced past one held this long within `FLOOR_SLACK_DB`
BESIDE_DB = 6.0  # a level traced back over a swing stood within this of the semitones beside it
LAG_CONSTANTS = 2.0  # a harmonic rise this many time constants before that is another note's
ATTACK_DB = 12.0  # a note starts only where its partials rose by this much (see the module's notes)
LEAP_RISE_DB = 3.0  # ... or, over a note an octave under it that falls, its own octave rose this much
RECORDING_SPAN_DB = 36.0  # a note starts within this of the loudest note of the recording ...
RECORDING_SECONDS = 10.0  # ... over this long before it (and its onsets' floor is as far back)
FRAME_SPAN_DB = 26.0  # ... and within this of the loudest note of the frame
NOISE_MARGIN_DB = 12.0  # ... and this far above the frame's median salience
CHORD_FLOOR_DB = 6.0  # ... less this for a note that starts with others of a chord
CHORD_NOTES = 3  # ... of at least this many notes
HYSTERESIS_DB = 6.0  # a sounding note goes on until this far below the start threshold
DECAY_DB = 30.0  # ... or this far below its own peak
FLUX_RANGE_DB = 60.0  # levels further below the loudest of late do not count for onsets
RESTRIKE_DB = 6.0  # a rise this large within the decision window is a new note
STRUCK_DB_PER_SECOND = 10.0  # a plucked or struck note decays at least this fast; a bowed one holds
STRIKE_SECONDS = 0.02  # a strike, tongue or breath renews the partials within this ...
STRIKE_SHARE = 0.55  # ... by this share (in dB) of their rise over a channel's lag at least
DIP_DB = 8.0  # a sounding note whose partials' level dips this much is played again (module notes)
DIP_RISE_DB = 5.0  # ... once it has risen this much out of the dip
DIP_DEPTH_DB = 20.0  # ... but a deeper fall is the note ending
DIP_SWING_DB = 5.0  # ... and the dip goes this much deeper than the note swung before it
DIP_FLOOR_DB = 1.5  # the frames of the dip's bottom lie within this of its lowest
HOLD_DB = 12.0  # a note ends after its last frame this close to its loudest level
KNOCK_HZ = 200.0  # a lower note than this that dies as another starts is that one's knock ...
KNOCK_MARGIN_DB = 6.0  # ... when it was this much weaker
RELEASE_SECONDS = 0.03  # a release is a fall over this long ...
RELEASE_DB_PER_SECOND = 30.0  # ... this much faster than the note's decay from its loudest before it
RETURN_DB = 1.0  # ... after which the note never comes back to within this of the level it fell from
RELEASE_START_DB_PER_SECOND = 5.0  # the release began at the first of the frames before that falling this much faster
GAP_SECONDS = 0.1  # a note goes on through a drop shorter than this
STEADY_DB = 2.0  # ... and, once decided (or in a chord), while its level stays this close to its loudest
MIN_SECONDS = 0.06  # shorter notes are dropped ...
SETTLING = 2.0  # ... and so are notes shorter than this many time constants of their channel
SILENCE = 1e-7  # magnitude below which a channel counts as silent (-134 dB re full scale)
LARGEST = float(np.finfo(np.float32).max)  # ... and above which (past any bank's frames) too
FULL_SCALE = 0.5  # magnitude of a full-scale sine
BLOCK_FRAMES = 1024  # at most this many frames are taken at once
OVERTONE_STEPS = (12, 19, 24)  # the second, third and fourth partials, in semitones up
OVERTONE_MARGIN_DB = 4.5  # a note on one must stand this far above what the timbre gives it
TIMBRE_NOTES = 5  # the timbre at a pitch is that of this many decided notes nearest to it
TIMBRE_KEPT = 32  # ... among the last this many
OCTAVE_SHARE = 2 / 3  # an octave struck with a string stands out of its odd partials in this share of frames
DRIFT_SEMITONES = 6.0  # a drive this far or further under the lowest semitone is an offset or a drift
ALIKE_DB = 0.1  # the lowest semitone must stand this far above the next to be a peak (a click's ring)
TAIL_SECONDS = 1.5  # what sounded in a semitone is remembered this long (see `_in_tail`)
TAIL_FROM_SECONDS = 0.1  # the fall of a note's tail is measured from this long after its release ...
TAIL_TO_SECONDS = 0.4  # ... to this long after it
TAIL_FALLS = 3  # ... and trusted once this many releases have shown it
TAIL_KEPT = 16  # ... the median of the last this many
ROOM_DB_PER_SECOND = 10.0  # no tail is taken to fall slower than this (a large hall's)
TAIL_RISE_DB = 0.0  # a note where one of its pitch ended stands this far over the tail (`_in_tail`)
TAIL_DEEP_DB = 6.0  # ... and any other note is a tail's swell only this far under it
MAINS_HZ = (50.0, 60.0)  # the mains frequencies, whose hum and its harmonics are no note
MAINS_TOLERANCE_HZ = 0.3  # ... read within this of a multiple (a grid holds well inside it)


@dataclass(frozen=True, order=True)
class NoteEvent:
    onset: float  # s
    offset: float  # s
    pitch: int  # MIDI note number
    velocity: int  # 1 to 127

    @property
    def name(self) -> str:
        return note_name(self.pitch)


@dataclass(frozen=True)
class Sounding:
    """A note sounding now: what a live display shows."""

    pitch: int
    onset: float  # s
    velocity: int


class FramesLike(Protocol):
    frames: npt.NDArray[np.complex64]
    frequencies: npt.NDArray[np.float32]
    sample_rate: float
    hop: int


class _Grid:
    """The semitones that the channels cover, and how channels and partials map onto them."""

    def __init__(self, numbers: npt.ArrayLike, sample_rate: float, tuning: float) -> None:
        if not 0 < tuning < math.inf:
            raise ValueError(f"the tuning must be a positive frequency, not {tuning} Hz")
        numbers = np.asarray(numbers, dtype=np.float64)
        if numbers.ndim != 1 or not len(numbers):
            raise ValueError("the note numbers must be a non-empty one-dimensional sequence")
        if not np.isfinite(numbers).all():
            raise ValueError("the note numbers must be finite")
        if np.any(np.diff(numbers) <= 0):
            raise ValueError("the note numbers of the channels must rise")
        freqs = tuning * 2.0 ** ((numbers - 69.0) / 12.0)
        if not freqs[0] > 0:
            raise ValueError(f"the note number {numbers[0]} is too low: its frequency is 0 Hz")
        heard = np.flatnonzero(freqs < sample_rate / 2)
        if not len(heard):
            raise ValueError("every channel is at or above the Nyquist frequency")
        semitone = np.rint(numbers[heard]).astype(np.int64)
        self.low = int(semitone[0])
        self.count = int(semitone[-1]) - self.low + 1
        self.channels = heard  # the channels used
        self.total = len(numbers)  # the channels given
        keys = semitone - self.low
        if len(np.unique(keys)) != self.count:
            raise ValueError("the channels leave semitones out; at least one channel per semitone is needed")
        self.frequencies = tuning * 2.0 ** ((np.arange(self.count) + self.low - 69.0) / 12.0)
        self.starts = np.flatnonzero(np.r_[True, np.diff(keys) > 0])  # first channel of each semitone
        # Partial h of note n lies round(12·log2 h) semitones up; slots past the top read zero.
        self.offsets = [round(12 * math.log2(h)) for h in HARMONICS]
        self.weights = [1.0 / math.sqrt(h) for h in HARMONICS]
        # The first semitone from which the channels' bandwidth, 1/(pi·tau), is at most a semitone.
        self.narrow = next((k for k, f in enumerate(self.frequencies.tolist())
                            if 1.0 / (math.pi * time_constant(f)) <= f * (2.0 ** (1 / 12) - 1.0)), self.count)

    def levels(self, frames: npt.NDArray[np.complex64]) -> npt.NDArray[np.float64]:
        """The loudest magnitude within each semitone, (frames, semitones)."""
        # Row by row in memory, as every later step reads them: taking the channels leaves the
        # frames in columns, and a block of a power of two frames then puts each frame's
        # semitones a power of two bytes apart, which the caches take badly.
        magnitude: npt.NDArray[np.float64] = np.abs(frames[:, self.channels]).astype(np.float64, order="C")
        # A bank fed a NaN or an infinity holds it for ever; such channels are taken as silent.
        # So are magnitudes past what a bank's single-precision frames hold: a start threshold
        # raised over them would overflow.
        magnitude[~(magnitude <= LARGEST)] = 0.0
        if len(self.starts) == len(self.channels):
            return magnitude
        loudest: npt.NDArray[np.float64] = np.maximum.reduceat(magnitude, self.starts, axis=1)
        return loudest

    def power(self, levels: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        """Σ_h levels[:, n + offset_h]² for every note n: the power of its partials."""
        return self.harmonic_sum(levels * levels, [1.0] * len(self.offsets))

    def harmonic_sum(self, values: npt.NDArray[np.float64],
                     weights: list[float] | None = None) -> npt.NDArray[np.float64]:
        """Σ_h w_h · values[:, n + offset_h] for every note n, added in a fixed order; the
        weights are the salience's unless given."""
        # Partials past the top read zero; adding nothing leaves the sum as it was.
        total = np.zeros_like(values)
        for offset, weight in zip(self.offsets, self.weights if weights is None else weights):
            if offset < self.count:
                total[:, : self.count - offset] += weight * values[:, offset : self.count]
        return total


def salience(
    grid: _Grid, levels: npt.NDArray[np.float64], drift: npt.NDArray[np.bool_] | None = None,
    before: npt.NDArray[np.float64] | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(strength, grouped, floor): each note's salience where it was taken as a voice, else 0;
    each note's harmonic sum of the levels; and the frame's median of those sums. Shapes
    (frames, semitones) twice and (frames,). `drift` (frames,) is where the lowest semitone's
    channel is driven from well under it (see `NoteTracker`), or (frames, semitones) the same for
    the semitones from the lowest up: they are heard there by their partials alone. `before`
    (frames, semitones) are the levels of the frames of `HELD_SECONDS` just before `levels`.

    Up to `VOICES` times, the note of highest salience among the candidates is taken, and its
    partials are removed as far as a smooth spectrum explains them. A voice on one of the first
    `PARTIALS` partials of another is then dropped unless its own level stands
    `PARTIAL_MARGIN_DB` above the lower voice's partials around it and comes within
    `LOWER_SPAN_DB` of the lower voice: otherwise it is taken for that voice's partial, unless
    it lies on the sixth partial or above and its own second partial stands out as far, or on
    the second, third or fifth and its second and third partials do (an octave above a rich
    tone too). One that stands less than `FORMANT_DB` above them, while its second partial does
    not stand out of the lower voice's partials around it, is a formant of the lower voice.
    Given `before`, none is dropped where it and its own second partial rose `LIFT_DB` over the
    loudest they were a quarter to half of `HELD_SECONDS` before, while the lower voice's
    fundamental stayed within half that of its softest in all of it: a held note cannot
    suddenly put more energy into one of its partials (a melody note attacked on a held chord
    note's partial), while a note's own upper partials grow for a while after it begins (a
    bowed string's, a brass instrument's)."""
    frames = len(levels)
    rows = np.arange(frames)
    width = grid.count + grid.offsets[-1] + 1
    residual = np.zeros((frames, width))
    residual[:, : grid.count] = levels
    first = grid.harmonic_sum(levels)
    floor = _median(first)
    padded = np.pad(first, ((0, 0), (1, 1)))
    peaks = (first > 0) & (first >= padded[:, :-2]) & (first >= padded[:, 2:])
    # Above `WEAK_FUNDAMENTAL_HZ` a note's fundamental must be heard, within `FUNDAMENTAL_SPAN_DB`
    # of its strongest partial: otherwise three notes of a chord make a note an octave below.
    strongest = np.maximum.reduce([residual[:, o : o + grid.count] for o in grid.offsets])
    # A partial is heard when it is a peak of the levels over pitch (a click or noise is flat)
    # within `FUNDAMENTAL_SPAN_DB` of the note's strongest partial.
    around = np.pad(residual, ((0, 0), (1, 1)))
    peaked = (residual >= around[:, :-2]) & (residual >= around[:, 2:]) & (residual > 0)
    span = 10.0 ** (-FUNDAMENTAL_SPAN_DB / 20.0)

    def heard(h: int) -> npt.NDArray[np.bool_]:
        o = grid.offsets[h - 1]
        result: npt.NDArray[np.bool_] = peaked[:, o : o + grid.count] & (residual[:, o : o + grid.count] >= strongest * span)
        return result

    # Above it, a fundamental further down (a bassoon's, under its formant) still counts when
    # the second and third partials are heard and it stands clear of the levels two semitones
    # away as a tone does (the channels are wide in the low register, where a tone stands less
    # than 9 dB over them below 75 Hz, and 17 dB from 200 Hz up): the thump of an attack, or a
    # chord's notes under a missing root, is flat there, and the leak of two notes' partials
    # under a note an octave up is a low bump.
    wider = np.pad(levels, ((0, 0), (2, 2)))
    fall = _tone_fall(grid.frequencies) ** TONAL_SHARE
    tonal = levels >= fall * np.maximum(wider[:, :-4], wider[:, 4:])
    # The lowest semitone is a peak over nothing below it: where its channel is driven from well
    # under it (a DC offset or a drift, whose leak falls smoothly from the bottom of the bank up
    # and so peaks there at any level), it is heard by its partials alone. So it is where it does
    # not stand above the semitone next to it: a click rings alike in the low channels, which
    # have one time constant, and a tone half a semitone off is the next semitone's as much.
    if drift is not None:
        # (Two-dimensional, it covers the semitones from the lowest up: see `NoteTracker._led`.)
        led = drift.reshape(frames, -1)
        peaked[:, : led.shape[1]] &= ~led
    if grid.count > 1:
        peaked[:, 0] &= levels[:, 0] > levels[:, 1] * 10.0 ** (ALIKE_DB / 20.0)
    # Below it, the second and third partials must be heard instead (a low channel that turns as
    # an offset's leak does holds no partial).
    second = heard(2)
    pattern = second & heard(3)
    fundamental = heard(1)
    faint = (peaked[:, : grid.count] & tonal & ~fundamental
             & (levels >= strongest * 10.0 ** (-WEAK_SPAN_DB / 20.0)))
    # Below `WEAK_FUNDAMENTAL_HZ` (the piano's lowest notes, whose fundamental is 60 dB under)
    # the partials alone may name a note, the fifth heard too: two notes a fifth apart, or a
    # note and the second partial of a lower one still ringing, give a 2nd and 3rd partial but
    # never a 5th (two octaves and a major third up).
    deep = (grid.frequencies < WEAK_FUNDAMENTAL_HZ) & pattern & heard(5)
    eligible = fundamental | (faint & pattern) | deep
    peaks &= eligible
    # Two semitones above a note may lie the skirt of the chord's next note up, a third away: the
    # level dips between them and rises again toward it, as it does not on one tone's skirt or
    # over a flat thump. Beside such a tone, weaker than the note, a note stands above the dip by
    # a tone's fall a semitone away instead. (Only where the channels are a semitone wide or
    # less: wider ones blur the dip. Toward a tone below, the same dip is not taken: a chord's
    # notes found together then hold each other over the next chord's attack on one of their
    # pitches, and that chord's lower notes are lost.)
    above = levels >= fall * wider[:, 4:]
    n = grid.narrow
    if n < grid.count - 2:
        near = _tone_fall(grid.frequencies[n:-2], 1.0) ** TONAL_SHARE
        above[:, n:-2] |= ((levels[:, n + 1 : -1] < levels[:, n + 2 :]) & (levels[:, n + 2 :] < levels[:, n:-2])
                           & (levels[:, n:-2] >= near * levels[:, n + 1 : -1]))
    apart = (levels >= fall * wider[:, :-4]) & above
    # A note whose fundamental is heard as a tone, with its second partial heard too, is also a
    # candidate where it is a peak of salience over the neighbours that may be notes themselves:
    # a neighbour whose fundamental is not heard sums only other notes' partials (an organ's E3
    # under a melody's C5, beside the F3 whose third and sixth partials those are). Not so on the
    # second, third or fourth partial of a heard fundamental, which it may be, nor where the
    # channels are wider than a semitone, where an attack's thump makes such peaks; and a lone
    # peak with no partial of its own is a resonance of the instrument's body, or a ring beside a
    # louder note's partial. (They are few: judged one by one.)
    narrow = slice(grid.narrow, None)
    at_rows, at = _nonzero(fundamental[:, narrow] & apart[:, narrow] & second[:, narrow] & ~peaks[:, narrow])
    at += grid.narrow
    level = first[at_rows, at]
    taken = level > 0
    for side in (-1, 1):
        next_to = np.clip(at + side, 0, grid.count - 1)
        taken &= (next_to != at + side) | ~eligible[at_rows, next_to] | (level >= first[at_rows, next_to])
    for step in OVERTONE_STEPS:
        taken &= (at < step) | ~fundamental[at_rows, np.maximum(at - step, 0)]
    peaks[at_rows[taken], at[taken]] = True
    # A note whose channel stands above the semitones beside it by as much as a channel's
    # response falls a semitone off its tone (and above those two away as a tone does) is a
    # tone of its own, a candidate even where a neighbour's harmonic sum is larger: a louder
    # note's partial leaks into a channel on that neighbour's partials (a chord's G3 under a
    # melody's E5, whose leak a semitone down is the third partial of A-flat 3). Not so on the
    # second, third or fourth partial of a heard fundamental, which it may be; nor below
    # `WEAK_FUNDAMENTAL_HZ`, where the channels are too wide to tell a tone from another's skirt.
    skirt = levels / _tone_fall(grid.frequencies, 1.0)
    own = fundamental & tonal & (grid.frequencies >= WEAK_FUNDAMENTAL_HZ)
    own[:, 1:] &= skirt[:, 1:] >= levels[:, :-1]
    own[:, :-1] &= skirt[:, :-1] >= levels[:, 1:]
    for step in OVERTONE_STEPS:
        if step < grid.count:
            own[:, step:] &= ~fundamental[:, :-step]
    peaks |= own
    strength = np.zeros_like(levels)
    # A frame that has no candidate left gets no more voices: later rounds look only at the
    # frames that found one in the round before.
    found = rows
    for voice in range(VOICES):
        scores = _open_scores(grid, first if voice == 0 else residual, found, peaks[found] & ~(strength[found] > 0),
                              summed=voice == 0)
        best = scores.argmax(axis=1)
        taken = scores[np.arange(len(found)), best] > 0
        found, best = found[taken], best[taken]
        strength[found, best] = scores[taken, best]
        if not len(found):
            break
        _remove(grid, residual, found, best)
    extended = [round(12 * math.log2(h)) for h in range(1, 2 * PARTIALS + 2)]
    wide = np.zeros((frames, grid.count + extended[-1] + 1))
    wide[:, : grid.count] = levels
    margin = 10.0 ** (PARTIAL_MARGIN_DB / 20.0)
    lifted = None
    if before is not None and len(before):
        # Each semitone's loudest a quarter to half of the frames before, and its softest in
        # all of them; a voice's second partial past the top is read at the top.
        lift = 10.0 ** (LIFT_DB / 20.0)
        reach = len(before)
        nearest, furthest = reach // 4, reach // 2
        past = np.concatenate((before, levels))
        loudest = _running(past, furthest - nearest + 1, np.maximum)[reach - nearest : reach - nearest + frames]
        grown = levels >= lift * loudest
        below = max(grid.count - 12, 0)
        grown[:, :below] &= grown[:, 12:]
        grown[:, below:] &= grown[:, -1:]
        softest = _running(past, reach + 1, np.minimum)[reach:]
        # A lower voice that began in that span is still shaping its spectrum: its partials rise.
        lifted = (levels * levels < lift * softest * softest, grown)
    for h in range(2, PARTIALS + 1):
        d = extended[h - 1]
        if d >= grid.count or d == extended[h - 2]:
            continue
        # The lower voice's partials around this one: its strongest other one among the first
        # four for the low partials, two neighbours either side above them.
        others = [extended[k] for k in range(4) if k != h - 1] if h <= 4 else extended[h - 3 : h - 1] + extended[h : h + 2]
        low, high = strength[:, :-d], strength[:, d:]
        both = (low > 0) & (high > 0)
        # Pairs of voices are few: they are judged one by one.
        pair_rows, pair_lows = _nonzero(both)
        envelope = np.maximum.reduce([wide[pair_rows, pair_lows + o] for o in others if o != d])
        # ... or where it is `LOWER_SPAN_DB` weaker than the lower voice itself.
        weak = levels[pair_rows, pair_lows + d] < levels[pair_rows, pair_lows] * 10.0 ** (-LOWER_SPAN_DB / 20.0)
        explained = np.zeros_like(both)
        explained[pair_rows, pair_lows] = (levels[pair_rows, pair_lows + d] <= margin * envelope) | weak
        # Whether the upper voice's own second partial stands out of the lower voice's partials
        # beside it (2h - 1 and 2h + 1).
        beside = [o for o in (extended[2 * h - 2], extended[2 * h]) if o != extended[2 * h - 1]]
        spectrum = np.maximum.reduce([wide[pair_rows, pair_lows + o] for o in beside])
        own = wide[pair_rows, pair_lows + d + 12] > margin * spectrum
        # A partial that a formant lifts stands out alone: the lower voice's partials next to
        # the upper voice's second partial are as loud as that.
        formant = ~own & (levels[pair_rows, pair_lows + d]
                          <= envelope * 10.0 ** (FORMANT_DB / 20.0))
        explained[pair_rows, pair_lows] |= formant
        if h in (2, 3, 5):
            # On the second, third and fifth partial, a note's second and third partials both
            # stand out of the lower voice's partials beside them (2h ± 1 and 3h ± 1): a note
            # sung or played over a held one, which no smooth spectrum has, not even a rich
            # tone's. One of them alone may be a bump of the lower voice's spectrum. (On the
            # fourth, the partials beside its third, the 11th and 13th, lie 40 to 50 cents off
            # the semitones: a channel a semitone reads them 5 to 6 dB too weak to judge by.)
            beside3 = np.maximum(wide[pair_rows, pair_lows + extended[3 * h - 2]],
                                 wide[pair_rows, pair_lows + extended[3 * h]])
            played = own & (wide[pair_rows, pair_lows + d + extended[2]] > margin * beside3)
            explained[pair_rows, pair_lows] &= ~played
        if h >= 6:
            # From the sixth partial up, the lower voice's partials are a few semitones apart and
            # its spectrum there is smooth: a second partial standing out of it is a note's own,
            # a violin's over a cello, whose fundamental is weaker than its second partial and
            # than the cello's partials around it.
            explained[pair_rows, pair_lows] &= ~own
        if lifted is not None:
            rose = lifted[0][:, :-d] & lifted[1][:, d:]
            explained &= ~rose
        if h == 2:
            # An octave above a note whose third partial is within `LOWER_SPAN_DB` of it: the
            # lower note is a rich tone with a strong second partial (violin, low piano), not
            # a pure tone under a melody. Below `WEAK_FUNDAMENTAL_HZ` it is named so even where
            # it was not taken as a voice.
            third = wide[:, extended[2] : extended[2] + grid.count - d]
            named = both | ((high > 0) & eligible[:, :-d] & (grid.frequencies[:-d] < WEAK_FUNDAMENTAL_HZ))
            rich = named & (third >= levels[:, d:] * 10.0 ** (-LOWER_SPAN_DB / 20.0))
            rich[pair_rows[played], pair_lows[played]] = False
            if lifted is not None:
                rich &= ~rose
            low[rich] = np.maximum(low[rich], high[rich])
            explained |= rich
        high[explained] = 0.0
    return strength, first, floor


def _open_scores(grid: _Grid, values: npt.NDArray[np.float64], found: npt.NDArray[np.int64],
                 open_: npt.NDArray[np.bool_], summed: bool) -> npt.NDArray[np.float64]:
    """The harmonic sums of `values` in the rows `found` (one row of the result each) at the
    notes `open_` to be taken, zero elsewhere: `values` are the sums already when `summed`, else
    the residual, added as `harmonic_sum` adds them but only where they are read, for the
    candidates are a few notes a frame."""
    scores = np.zeros(open_.shape)
    rows, notes = _nonzero(open_)
    if summed:
        scores[rows, notes] = values[found[rows], notes]
        return scores
    # The residual's columns past the top stay zero (nothing is taken from nothing): a partial
    # there adds zero, which leaves a sum as `harmonic_sum`, adding nothing, leaves it.
    at = found[rows] * values.shape[1] + notes
    flat = values.ravel()
    total = np.zeros(len(at))
    for offset, weight in zip(grid.offsets, grid.weights):
        total += weight * flat.take(at + offset)
    scores[rows, notes] = total
    return scores


def _median(values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The median of each row (of numbers, none NaN), as `np.median` gives it: the middle one, or
    the mean of the two middle ones. One partition at the upper middle leaves the lower one as
    the largest before it, where NumPy partitions at both, which costs three times as much."""
    half = values.shape[1] // 2
    parted = np.partition(values, half, axis=1)
    if values.shape[1] % 2:
        middle: npt.NDArray[np.float64] = parted[:, half]
        return middle
    mean: npt.NDArray[np.float64] = (parted[:, :half].max(axis=1) + parted[:, half]) / 2.0
    return mean


def _nonzero(mask: npt.NDArray[np.bool_]) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
    """(rows, columns) of the true entries of a two-dimensional mask, row by row, as `np.nonzero`
    gives them: found in the flattened mask, which NumPy searches many times faster."""
    if not mask.size:
        rows, columns = np.nonzero(mask)
        return rows, columns
    return np.divmod(np.flatnonzero(mask), mask.shape[1])


def _remove(grid: _Grid, residual: npt.NDArray[np.float64], rows: npt.NDArray[np.int64],
            notes: npt.NDArray[np.int64]) -> None:
    """Removes from `residual` the partials of `notes` (one per row) as far as a smooth
    spectrum explains them: a partial that stands out above both of its neighbours also belongs
    to another note and keeps the excess."""
    # Read and written by one index per entry into the flattened residual rather than two.
    slots = [rows * residual.shape[1] + notes + offset for offset in grid.offsets]
    amplitude = [residual.take(slot) for slot in slots]
    for h, slot in enumerate(slots):
        if h == 0:
            share = amplitude[0]
        else:
            # The last partial's neighbour above is not looked at: the one below stands for it.
            after = amplitude[h + 1] if h + 1 < len(slots) else amplitude[h - 1]
            share = np.minimum(amplitude[h], np.maximum(amplitude[h - 1], after))
        residual.put(slot, amplitude[h] - share)


def _tone_fall(frequencies: npt.ArrayLike, semitones: float = 2.0) -> npt.NDArray[np.float64]:
    """How many times weaker `bank_for`'s channels two (or `semitones`) semitones below a tone hear
    it than its own channel (a resonator's response, 1/|1 + j·Δω·τ|): the channels are wider in
    the low register."""
    hz = np.asarray(frequencies, dtype=np.float64)
    taus = np.array([time_constant(float(f)) for f in hz])
    offset = 2.0 * math.pi * hz * (1.0 - 2.0 ** (-semitones / 12.0)) * taus
    fall: npt.NDArray[np.float64] = np.sqrt(1.0 + offset**2)
    return fall


def _decibels(values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    result: npt.NDArray[np.float64] = 20.0 * np.log10(np.maximum(values, SILENCE))
    return result


def _running(values: npt.NDArray[np.float64], width: int, reduce: np.ufunc) -> npt.NDArray[np.float64]:
    """`reduce` (np.minimum, np.maximum) of each row of `values` and the `width` - 1 rows before
    it (fewer at the start): spans doubled a few times rather than `width` passes."""
    result = values.copy()
    span = 1  # the rows that each row of `result` covers so far
    while 2 * span <= width:
        result[span:] = reduce(result[span:], result[:-span])
        span *= 2
    if span < width:
        result[width - span :] = reduce(result[width - span :], result[: span - width])
    return result


def velocity(level: float) -> int:
    """MIDI velocity of a note whose partials, at their loudest while it was decided, had the
    power of a sine of magnitude `level`: 127 at full scale, and as the square root of the
    magnitude below (1 at 84 dB under full scale)."""
    # A synthesizer's level follows the square of the velocity (General MIDI's curve: 40 dB from
    # 127 down to 13), and a player's touch is heard in the same way on any instrument.
    return min(max(round(127.0 * math.sqrt(max(level, 0.0) / FULL_SCALE)), 1), 127)


@dataclass
class _Note:
    pitch: int
    onset_frame: int
    peak: float  # strongest salience so far
    level: float  # loudest magnitude of its semitone (or octave; see the module's notes) so far
    grouped: float  # loudest level round its semitone up to the decision window (for restrikes)
    below: int = 0  # frames in a row below the end threshold
    held: int = 0  # the last frame within `HOLD_DB` of its loudest level
    fell: bool = False  # whether it has been further below its loudest level
    history: list[float] = field(default_factory=list)  # its level in each frame since it was taken
    first: int = -1  # the frame of history[0]
    settled: int = -1  # played again: the frame its dip bottomed out, its own level from there
    joined: bool = False  # started with others of a chord, under the floor of a note alone
    swung: float = 0.0  # played again: how far the note before it swung (see `_swing`)
    swelled: bool = False  # found to swing with a chord's other notes as it grew (see `_swelling`)
    tone: bool = True  # whether it stood out as a tone (see `_tones`, `_skirt`) in the frame `held`
    power: float = 0.0  # its partials' loudest power up to its decision (for its velocity)

    def loudest_frame(self) -> int:
        """The frame of its loudest level since it was taken (it has a history)."""
        return self.first + self.history.index(max(self.history))


class NoteTracker:
    """Note events from frames pushed as they arrive.

    >>> tracker = NoteTracker(scale.numbers, sample_rate, hop)
    >>> for chunk in stream_of_frames:
    ...     finished = tracker.push(chunk)   # notes that ended in this chunk
    ...     tracker.sounding                 # the notes sounding now
    >>> finished += tracker.finish()         # notes still sounding at the end

    Each note-on is decided `delay_frames` frames after its onset frame; `sounding` lists
    only decided notes.
    `threshold_db` moves every start and end threshold up (positive: fewer, louder notes) or
    down, by `MAX_THRESHOLD_DB` at most. `pitches` keeps only notes in that range of MIDI
    numbers. `tuning`, the frequency of A4 in Hz, is the bank's (`bank_for`'s): it says which
    channels lie at or above the Nyquist frequency.
    """

    # The decibel margins of the per-frame decisions as ratios of magnitudes, worked out once.
    _HYSTERESIS = 10.0 ** (-HYSTERESIS_DB / 20.0)
    _HOLD = 10.0 ** (-HOLD_DB / 20.0)
    _DECAY = 10.0 ** (-DECAY_DB / 20.0)
    _RESTRIKE_FALL = 10.0 ** (-RESTRIKE_DB / 20.0)
    _RESTRIKE_RISE = 10.0 ** (RESTRIKE_DB / 20.0)
    _SLACK = 10.0 ** (FLOOR_SLACK_DB / 20.0)
    _THIRD = 10.0 ** (-THIRD_PARTIAL_DB / 20.0)

    def __init__(
        self,
        numbers: npt.ArrayLike,
        sample_rate: float,
        hop: int,
        *,
        threshold_db: float = 0.0,
        pitches: tuple[int, int] | None = None,
        tuning: float = 440.0,
    ) -> None:
        if not 0 < sample_rate < math.inf or not _whole(hop) or hop < 1:
            raise ValueError(f"need a positive sample rate and hop, not {sample_rate} Hz and {hop}")
        # Further than `MAX_THRESHOLD_DB` the ratio 10^(dB/20) leaves the floating-point range: far
        # up it overflows, far down every threshold becomes 0 and each silent semitone passes.
        if not abs(threshold_db) <= MAX_THRESHOLD_DB:
            raise ValueError(f"the threshold must be from -{MAX_THRESHOLD_DB:g} to {MAX_THRESHOLD_DB:g} dB, "
                             f"not {threshold_db}")
        if pitches is not None and not (len(pitches) == 2 and all(map(_whole, pitches)) and pitches[0] <= pitches[1]):
            raise ValueError(f"the pitches must be a range of MIDI numbers (low, high), not {pitches!r}")
        hop = int(hop)
        # One call at a time: `sounding`, read by a display while another thread pushes, would
        # see the sounding notes change under it.
        self._lock = threading.Lock()
        self._finished = False
        self._grid = _Grid(numbers, sample_rate, tuning)
        self._seconds = hop / sample_rate
        self._steady = 10.0 ** (-STEADY_DB / 20.0)
        self._release_frames = max(1, round(RELEASE_SECONDS / self._seconds))
        self._release_db = RELEASE_DB_PER_SECOND * self._seconds  # per frame
        self._window = max(1, math.ceil(DECISION_SECONDS / self._seconds - 1e-9))
        self._reach = self._window + math.ceil(RISE_SECONDS / self._seconds - 1e-9)
        self.delay_frames = self._reach + math.ceil(CONFIRM_SECONDS / self._seconds - 1e-9)
        self.gap_frames = max(1, math.ceil(GAP_SECONDS / self._seconds - 1e-9))
        self._plateau = max(2, math.ceil(PLATEAU_SECONDS / self._seconds - 1e-9))
        self._threshold = threshold_db
        self._pitches = pitches
        self._frame = 0  # frames seen
        # The recording's level is its loudest over the last `RECORDING_SECONDS`, not since its
        # start: one loud accent, a knock on the microphone or a loud piece before a soft one
        # would otherwise hold every later note under the threshold for good (a live input
        # runs for hours). Each frame's loudest salience and level, silence before the start.
        self._memory = max(1, math.ceil(RECORDING_SECONDS / self._seconds - 1e-9))
        self._peaks: npt.NDArray[np.float64] = np.zeros(self._memory - 1)
        self._louds: npt.NDArray[np.float64] = np.zeros(self._memory - 1)
        self._previous: npt.NDArray[np.float64] | None = None  # last frame's log levels
        # The levels of the last frames, silence before the recording: see `salience`.
        held = max(2, round(HELD_SECONDS / self._seconds))
        self._before: npt.NDArray[np.float64] = np.zeros((held, self._grid.count))
        window = self._window + 2  # the decision window and the frame before it
        self._rises: deque[npt.NDArray[np.float64]] = deque(maxlen=self._reach + 1)  # harmonic flux
        # The rises per semitone of the last frames before this block's, and each semitone's rise
        # summed over the frames an onset may lie in, up to the frame being taken.
        self._raw: npt.NDArray[np.float64] = np.zeros((self._reach, self._grid.count))
        self._rose = np.zeros(self._grid.count)
        # Each note's partials' level (for dips), from the frames an onset may lie in and a
        # decision window before them (for the level that a dip fell from) to this block's end;
        # the row of the frame being taken; and where that frame has risen out of a dip.
        self._kept = self._reach + self._window + 1
        self._partials: npt.NDArray[np.float64] = np.zeros((0, self._grid.count))
        self._own: npt.NDArray[np.float64] = np.zeros((0, self._grid.count))  # ... and its own semitone's
        self._row = -1
        self._lifted: npt.NDArray[np.bool_] = np.zeros(self._grid.count, dtype=bool)
        self._tongue: npt.NDArray[np.bool_] = np.zeros(self._grid.count, dtype=bool)  # ... or of a tongued dip (`_tongued`)
        self._stop: npt.NDArray[np.bool_] = np.zeros(self._grid.count, dtype=bool)  # ... or of a stopped one (`_stopped`)
        self._joined = 0.0  # the start threshold of a note of a chord in the frame being taken
        self._power = np.zeros(self._grid.count)  # ... and each note's partials' power there
        self._tonal = np.zeros(self._grid.count, dtype=bool)  # ... and where its levels stand out as tones
        self._tone = _tone_fall(self._grid.frequencies) ** TONAL_SHARE
        # The frames that `LAG_CONSTANTS` time constants of each semitone's channel take.
        self._lags = [math.ceil(LAG_CONSTANTS * time_constant(float(f)) / self._seconds - 1e-9)
                      for f in self._grid.frequencies]
        self._tone_next = _tone_fall(self._grid.frequencies, 1.0) ** TONAL_SHARE
        # The lowest channel turns, frame to frame, by how far what drives it lies from its
        # frequency (a frame is its output brought down by that frequency): a drive
        # `DRIFT_SEMITONES` or more under the lowest semitone, near 0 Hz, turns it back by these
        # fractions of a turn (its mirror image too: a slow drift is a real signal), short of
        # where a tone up to a semitone over the channel's frequency turns it forward, which a
        # long hop aliases there. (A hop too long for any such turn leaves the channel as it is.)
        lowest = tuning * 2.0 ** ((float(np.asarray(numbers, dtype=np.float64)[self._grid.channels[0]]) - 69.0) / 12.0)
        # The turn is taken over the last time constant of the channel, weighted by its level:
        # where a drift and its harmonics beat, the channel passes near zero, and its turn over a
        # frame there can be anything.
        self._drift_span = max(1, round(time_constant(lowest) / self._seconds))
        # The same holds for every low semitone's channel over the leak of an offset, a drift or
        # rumble: once an abrupt change (a step, a tone's hard end) has rung out, the channel
        # turns as that drive does, beating with its ring into swells that are no tone. Below
        # `KNOCK_HZ` the channels share one time constant and the leak is wide; where one channel
        # reads each semitone only. So the lowest channel and those: their frequencies, the
        # fractions of a turn, and each one's last frame and last turns.
        led_count = 0
        if len(self._grid.starts) == len(self._grid.channels):
            led_count = int(np.count_nonzero(self._grid.frequencies < KNOCK_HZ))
        led = np.concatenate([[lowest], self._grid.frequencies[1 : max(1, led_count)]])
        self._led_low = (led - led * 2.0 ** (-DRIFT_SEMITONES / 12.0)) * self._seconds
        self._led_high = np.minimum((led + led * 2.0 ** (-DRIFT_SEMITONES / 12.0)) * self._seconds,
                                    1.0 - led * (2.0 ** (1.0 / 12.0) - 1.0) * self._seconds)
        # Mains hum (50 or 60 Hz and its harmonics, exact multiples) turns these channels at
        # a frequency that no note tuned to the scale has: a fundamental 35 cents or so off a
        # semitone, a fraction of a hertz from the mains' multiple. Where a channel turns so, over
        # its time constant, the hum drives it, and a note there is the hum's (see `_mains`); a
        # note played there drives its own channel at the note's frequency, a hertz or more away.
        led_numbers = np.asarray(numbers, dtype=np.float64)[self._grid.channels[: len(led)]]
        self._led_hz = tuning * 2.0 ** ((led_numbers - 69.0) / 12.0)
        # Only a channel within a semitone of the mains' multiple is the hum's: one further off
        # (a low piano string's, whose fundamental is faint) may read the hum's leak while the
        # note is heard by its partials.
        self._mains_hz = [np.maximum(np.rint(self._led_hz / mains), 1.0) * mains for mains in MAINS_HZ]
        for target in self._mains_hz:
            target[np.abs(12.0 * np.log2(target / self._led_hz)) >= 1.0] = np.nan
        # Where they turned so in the last `delay_frames` frames before the block; for each frame
        # of the block, where they turn so and in how many of the `delay_frames` frames up to it;
        # and the row of the frame being taken.
        self._hum_tail: npt.NDArray[np.int64] = np.zeros((self.delay_frames, len(led)), dtype=np.int64)
        self._hum_block: npt.NDArray[np.int64] = np.zeros((0, len(led)), dtype=np.int64)
        self._hum_counts: npt.NDArray[np.int64] = np.zeros((0, len(led)), dtype=np.int64)
        self._hum_row = 0
        self._led_last = np.zeros(len(led), dtype=np.complex128)
        self._led_turned = np.zeros((self._drift_span - 1, len(led)), dtype=np.complex128)
        # Each semitone's channel's width: 2π·τ·f per semitone of detuning (to first order), where
        # only one channel reads it; none where several do (a tone between them is heard whole).
        self._widths: list[float] | None = None
        if len(self._grid.starts) == len(self._grid.channels):
            self._widths = [2.0 * math.pi * time_constant(float(f)) * float(f) * math.log(2.0) / 12.0
                            for f in self._grid.frequencies]
        # Where a channel's bandwidth, 1/(pi·tau), is wider than a semitone, and below that where
        # a note is named by its partials (see `_skirt`).
        hz = [float(f) for f in self._grid.frequencies]
        self._wide = [f >= WEAK_FUNDAMENTAL_HZ and 1.0 / (math.pi * time_constant(f)) > f * (2.0 ** (1 / 12) - 1.0)
                      for f in hz]
        self._deep = [f < WEAK_FUNDAMENTAL_HZ and i + 19 < self._grid.count for i, f in enumerate(hz)]
        self._above: list[int] = []  # ... and the semitones at or above either threshold
        self._forming: list[int] = []  # ... and the notes of a chord that may be starting in it
        self._rising: list[int] = []  # ... and the semitones between the two that rise as tones
        self._strengths: deque[npt.NDArray[np.float64]] = deque(maxlen=window)
        # For restrikes: the harmonic flux and the levels round each semitone of the last frames
        # before this block's; and in the frame being taken, the strongest flux in the decision
        # window after its first frame, and the loudest level in the window.
        self._rises_tail: npt.NDArray[np.float64] = np.zeros((self._window - 1, self._grid.count))
        self._spread_tail: npt.NDArray[np.float64] = np.zeros((self._window, self._grid.count))
        self._later_rise = np.zeros(self._grid.count)
        self._window_loudest = np.zeros(self._grid.count)
        self._peaked: npt.NDArray[np.bool_] = np.zeros(0, dtype=bool)
        self._levels_tail: npt.NDArray[np.float64] = np.zeros((self.delay_frames, self._grid.count))
        self._held_loudest = np.zeros(self._grid.count)  # each semitone's loudest in the delay
        self._history = math.ceil(HISTORY_SECONDS / self._seconds - 1e-9)
        self._levels: deque[npt.NDArray[np.float64]] = deque(maxlen=self._history + self._reach + 1)
        # The levels in dB and the harmonic rises of the block and of the frames before it that an
        # onset may be traced back over, read a semitone's column at once; `_row` is this frame's.
        self._decibels: npt.NDArray[np.float64] = np.zeros((0, self._grid.count))
        self._rise_rows: npt.NDArray[np.float64] = np.zeros((0, self._grid.count))
        self._block_row = 0
        self._ended: dict[int, int] = {}  # the frame each pitch's last note ended in
        # The levels in dB of the last `TAIL_SECONDS` (and the delay) and of the block (see
        # `_in_tail`), the row of the frame being taken, the block's floors (as the onsets' log
        # levels'); the releases whose tail is still to be measured (the frame to measure it in,
        # the release's frame, the note's pitch), the falls measured (dB a frame) and the fall a
        # tail is held to (none until `TAIL_FALLS` are known).
        self._tail_frames = math.ceil(TAIL_SECONDS / self._seconds - 1e-9)
        self._tail_from = math.ceil(TAIL_FROM_SECONDS / self._seconds - 1e-9)
        self._tail_to = math.ceil(TAIL_TO_SECONDS / self._seconds - 1e-9)
        self._tail_db: npt.NDArray[np.float64] = np.zeros((0, self._grid.count))
        self._tail_row = -1
        self._tail_floors: list[float] = []
        self._releases: list[tuple[int, int, int]] = []
        self._next_release = -1  # ... the first frame one of them is measured in (-1: none)
        self._falls: deque[float] = deque(maxlen=TAIL_KEPT)
        self._room: float | None = None
        # ... and how far each frame of the memory has fallen by now
        self._room_fall: npt.NDArray[np.floating[Any]] = np.zeros(0)
        # ... and the onset of each pitch's last note of a chord that ended before it was decided
        self._unsaid: dict[int, int] = {}
        self._rang: dict[int, int] = {}  # ... and its last frame as a voice, where it was struck and left to ring
        self._knocks: dict[int, int] = {}  # the onset frame of each pitch's last knock
        self._active: dict[int, _Note] = {}
        # The recording's timbre: (pitch, dB of each of `OVERTONE_STEPS` over the fundamental,
        # None where another note shares it) of the last decided notes.
        self._timbre: deque[tuple[int, list[float | None]]] = deque(maxlen=TIMBRE_KEPT)
        self._recent: tuple[int, list[float]] = (-1, [])  # a frame, and its semitones' recent levels in dB
        # Where a note's strikes are heard: at its semitone, but an octave up below
        # `WEAK_FUNDAMENTAL_HZ`, whose fundamental is too faint and slow to tell a strike.
        count = self._grid.count
        octave = np.arange(count) + 12
        self._struck: list[int] = np.where((self._grid.frequencies < WEAK_FUNDAMENTAL_HZ) & (octave < count), octave,
                                           np.arange(count)).tolist()
        # The features of the frames of the last push (kept for no longer: a live tracker runs
        # for hours).
        self.onset_strength: npt.NDArray[np.float64] = np.zeros(0)
        self.chroma: npt.NDArray[np.float64] = np.zeros((0, 12))

    @property
    def frame_seconds(self) -> float:
        return self._seconds

    @property
    def sounding(self) -> list[Sounding]:
        """The notes sounding after the last frame pushed, low to high, once decided: from
        `delay_frames` frames after their onset frame."""
        with self._lock:
            return [
                Sounding(n.pitch, n.onset_frame * self._seconds, velocity(math.sqrt(n.power)))
                for n in sorted(self._active.values(), key=lambda n: n.pitch)
                if self._wanted(n.pitch) and self._frame - 1 - n.onset_frame >= self.delay_frames
            ]

    def push(self, frames: npt.ArrayLike) -> list[NoteEvent]:
        """Takes the next frames (complex, (k, channels)); returns the notes that ended in them.

        Afterwards `onset_strength` holds the rise of the log levels in each of these frames (in
        dB, summed over the semitones: spectral flux), and `chroma` their 12 pitch classes (C
        first) from the salience of the notes taken, each frame scaled to its strongest class
        (silent frames are zero)."""
        # Converted before the lock is taken: an `__array__` that pushes on its own comes first.
        frames = np.asarray(frames)
        if frames.ndim != 2 or frames.shape[1] != self._channel_count():
            raise ValueError(f"frames must have shape (k, {self._channel_count()}), not {frames.shape}")
        if frames.dtype.kind not in "biufc":
            raise TypeError(f"frames must be numbers (complex values), not {frames.dtype}")
        with self._lock:
            if self._finished:
                # Its notes were ended; frames after them would start none that was held.
                raise ValueError("the tracker is finished; make a new one for more frames")
            return self._push(frames)

    def _push(self, frames: npt.NDArray[Any]) -> list[NoteEvent]:
        # A long push is taken in blocks of equal length: the per-frame arrays of a whole file
        # would not stay in the processor's caches, and each block has a cost of its own. Any
        # chunking gives the same events.
        finished: list[NoteEvent] = []
        onsets: list[npt.NDArray[np.float64]] = [np.zeros(0)]
        chroma: list[npt.NDArray[np.float64]] = [np.zeros((0, 12))]
        count = -(-len(frames) // BLOCK_FRAMES)
        for block in np.array_split(frames, count) if count else []:
            finished += self._push_block(block)
            onsets.append(self.onset_strength)
            chroma.append(self.chroma)
        self.onset_strength, self.chroma = np.concatenate(onsets), np.concatenate(chroma)
        return finished

    def _of_late(self, kept: npt.NDArray[np.float64], values: npt.NDArray[np.float64],
                ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """The largest of `values` per frame over the last `RECORDING_SECONDS`, with the frames
        before given by `kept`, and what to keep of them for the next block."""
        recent = np.concatenate((kept, values))
        return _running(recent, self._memory, np.maximum)[len(kept) :], recent[len(values) :]

    def _push_block(self, frames: npt.NDArray[np.complex64]) -> list[NoteEvent]:
        grid = self._grid
        levels = grid.levels(frames)
        before = self._before
        self._before = np.concatenate((before, levels))[-len(before):]
        strength, summed, floor = salience(grid, levels, self._led(frames), before)
        # Log levels, floored `FLUX_RANGE_DB` under the loudest level of late: the flicker of
        # channels far below the music is not a rise.
        loudest, self._louds = self._of_late(self._louds, levels.max(axis=1))
        decibels = _decibels(levels)
        logs = np.maximum(decibels, _decibels(loudest)[:, None] - FLUX_RANGE_DB)
        # Before the recording there was silence: what sounds in its first frame rose there.
        first = np.full((1, grid.count), _decibels(loudest[:1])[0] - FLUX_RANGE_DB)
        previous = first if self._previous is None else self._previous[None, :]
        rise = np.maximum(np.diff(logs, axis=0, prepend=previous), 0.0)
        self._previous = logs[-1].copy()
        rises = grid.harmonic_sum(rise)
        # Added semitone by semitone: NumPy's sum along a row may group the terms differently
        # for different numbers of rows, and a chunking must not change a bit.
        onsets = np.zeros(len(rise))
        for column in rise.T:
            onsets += column
        self.onset_strength = onsets
        self.chroma = self._fold(strength)
        # Start thresholds, as magnitudes: relative to the recording so far, the frame and its floor.
        peaks, self._peaks = self._of_late(self._peaks, strength.max(axis=1))
        factor = 10.0 ** (self._threshold / 20.0)
        start = factor * np.maximum.reduce([
            peaks * 10.0 ** (-RECORDING_SPAN_DB / 20.0),
            strength.max(axis=1) * 10.0 ** (-FRAME_SPAN_DB / 20.0),
            floor * 10.0 ** (NOISE_MARGIN_DB / 20.0),
            np.full(len(frames), SILENCE * 10.0),
        ])
        # The notes of a chord share the frame with each other's partials, which lift its median
        # salience: a note that starts with others of a chord is held to a lower floor.
        joined = factor * np.maximum.reduce([
            peaks * 10.0 ** (-RECORDING_SPAN_DB / 20.0),
            strength.max(axis=1) * 10.0 ** (-FRAME_SPAN_DB / 20.0),
            floor * 10.0 ** ((NOISE_MARGIN_DB - CHORD_FLOOR_DB) / 20.0),
            np.full(len(frames), SILENCE * 10.0),
        ])
        tonal = self._tones(levels)
        power = grid.power(levels)
        # A note's level for restrikes is the loudest of its semitone and the two beside it: a
        # vibrato or a glide that moves its energy into a neighbouring channel is no new attack.
        padded = np.pad(levels, ((0, 0), (1, 1)))
        spread = np.maximum(np.maximum(padded[:, :-2], padded[:, 1:-1]), padded[:, 2:])
        lifted, tongue, stop = self._dips(logs - (_decibels(loudest)[:, None] - FLUX_RANGE_DB))
        # The notes at or above the start threshold of a note alone or of a chord's, found for
        # the whole block at once.
        rows, columns = _nonzero(strength >= np.minimum(start, joined)[:, None])
        bounds = np.searchsorted(rows, np.arange(len(frames) + 1)).tolist()
        above = columns.tolist()
        # Each semitone's rise over the frames an onset may lie in, for every frame of the block:
        # added frame by frame from the oldest, as a sum kept per frame would be. (Before the
        # first frame the rises are zeros, and adding zeros changes no sum.)
        recent = np.concatenate([self._raw, rise])
        self._raw = recent[len(rise) :]
        rose = np.zeros_like(rise)
        for back in range(self._reach + 1):
            rose += recent[back : back + len(rise)]
        # The notes under the start threshold of a note alone and at or above a chord's that stand
        # out as tones and whose partials rose by `ATTACK_DB` (as `_attacked` finds for one note):
        # the notes of a chord that may be forming.
        total = summed  # the harmonic sum of the levels
        attacked = (total > 0) & (grid.harmonic_sum(levels * rose) >= ATTACK_DB * total)
        rows, columns = _nonzero(attacked & tonal & (strength < start[:, None]) & (strength >= joined[:, None]))
        rising_bounds = np.searchsorted(rows, np.arange(len(frames) + 1)).tolist()
        rising = columns.tolist()
        # A restrike's window maxima for the whole block. (Before the first frame they see zeros,
        # which no restrike reads: it waits for a full window.)
        recent = np.concatenate([self._rises_tail, rises])
        self._rises_tail = recent[len(rises) :]
        later_rise = _running(recent, self._window, np.maximum)[self._window - 1 :]
        recent = np.concatenate([self._spread_tail, spread])
        self._spread_tail = recent[len(spread) :]
        window_loudest = _running(recent, self._window + 1, np.maximum)[self._window :]
        recent = np.concatenate([self._levels_tail, levels])
        self._levels_tail = recent[len(levels) :]
        held_loudest = _running(recent, self.delay_frames + 1, np.maximum)[self.delay_frames :]
        self._decibels = np.concatenate([self._decibels[max(0, len(self._decibels) - self.delay_frames) :], decibels])
        kept_tail = self._tail_frames + self.delay_frames + 1
        self._tail_db = np.concatenate([self._tail_db[max(0, len(self._tail_db) - kept_tail) :], decibels])
        tail_kept = len(self._tail_db) - len(frames)
        self._tail_floors = (_decibels(loudest) - FLUX_RANGE_DB).tolist()
        self._rise_rows = np.concatenate([self._rise_rows[max(0, len(self._rise_rows) - self._reach) :], rises])
        kept = len(self._decibels) - len(frames)
        # Where the frame that a restrike would start with has a rise, no smaller than the next
        # frame's: what either kind of restrike needs at the least (cheap, for every note).
        candidates = np.arange(len(frames)) + len(self._rise_rows) - len(frames) - self._window
        if candidates[0] >= 0:
            # (Every frame has one: the rows are slices, which NumPy reads faster than indices.)
            row = int(candidates[0])
            now = self._rise_rows[row : row + len(frames)]
            peaked = (now > 0) & (now >= self._rise_rows[row + 1 : row + 1 + len(frames)])
        else:
            at = np.maximum(candidates, 0)  # (in the first frames, where there is none, any row)
            after = np.minimum(at + 1, len(self._rise_rows) - 1)
            peaked = ((candidates >= 0)[:, None] & (self._rise_rows[at] > 0)
                      & (self._rise_rows[at] >= self._rise_rows[after]))
        finished: list[NoteEvent] = []
        joined_at, start_at = joined.tolist(), start.tolist()
        for i in range(len(frames)):
            self._block_row = kept + i
            self._tail_row = tail_kept + i
            self._peaked = peaked[i]
            self._held_loudest = held_loudest[i]
            self._later_rise, self._window_loudest = later_rise[i], window_loudest[i]
            self._row = len(self._partials) - len(frames) + i
            self._lifted = lifted[i]
            self._tongue = tongue[i]
            self._stop = stop[i]
            self._power = power[i]
            self._joined = joined_at[i]
            self._tonal = tonal[i]
            self._above = above[bounds[i] : bounds[i + 1]]
            self._rose = rose[i]
            self._rising = rising[rising_bounds[i] : rising_bounds[i + 1]]
            self._hum_row = i
            self._step(strength[i], rises[i], levels[i], spread[i], start_at[i], finished)
        return finished

    def finish(self) -> list[NoteEvent]:
        """Ends the notes still sounding at the end of the last frame; returns them. Once
        finished, the tracker takes no more frames; finishing again returns nothing."""
        with self._lock:
            self._finished = True
            return self._finish()

    def _finish(self) -> list[NoteEvent]:
        finished: list[NoteEvent] = []
        for note in sorted(self._active.values(), key=lambda n: n.pitch):
            # A note already fading ends where its fall began, as it would have a little later.
            end = min(self._frame, self._release(note) + 1) if note.below else self._frame
            self._close(note, end, finished, self._frame - note.below)
        self._active.clear()
        return finished

    # The per-frame decisions.

    def _channel_count(self) -> int:
        return self._grid.total

    def _led(self, frames: npt.NDArray[np.complex64]) -> npt.NDArray[np.bool_]:
        """Where the lowest channel, and each low semitone's over it, turned over the lowest
        channel's time constant as a drive `DRIFT_SEMITONES` or more under it turns it, near 0 Hz
        (frames, semitones)."""
        channels = frames[:, self._grid.channels[: len(self._led_last)]].astype(np.complex128)
        # A bank fed a NaN or an infinity holds it for ever: such a channel is silent here too,
        # as in its levels (an infinity times the silence before it is no number, and warns).
        # So is one past the range of a bank's single-precision frames, whose turn overflows.
        channels[~((np.abs(channels.real) <= LARGEST) & (np.abs(channels.imag) <= LARGEST))] = 0.0
        before = np.concatenate([self._led_last[None, :], channels[:-1]])
        if len(channels):
            self._led_last = channels[-1].copy()
        turned = np.concatenate([self._led_turned, channels * np.conj(before)])
        self._led_turned = turned[len(channels) :]
        # Summed frame by frame from the oldest, as a sum kept per frame would be: a chunking must
        # not change a bit.
        summed = np.zeros(channels.shape, dtype=np.complex128)
        for back in range(self._drift_span):
            summed += turned[back : back + len(channels)]
        # The fraction of a turn that each channel fell behind a frame (none where it was silent).
        behind = (-np.angle(summed) / (2.0 * math.pi)) % 1.0
        led: npt.NDArray[np.bool_] = (behind >= self._led_low) & (behind <= self._led_high)
        # The frequency that drives each channel (within half a frame's turn of the channel's).
        drive = self._led_hz - (((behind + 0.5) % 1.0) - 0.5) / self._seconds
        hum = np.zeros(led.shape, dtype=bool)
        for target in self._mains_hz:
            hum |= np.abs(drive - target) <= MAINS_TOLERANCE_HZ
        hum &= summed != 0
        # Counted from a running sum over the block and the frames before it, as one count kept
        # per frame would be.
        self._hum_block = hum.astype(np.int64)
        recent = np.concatenate([self._hum_tail, self._hum_block])
        running = np.cumsum(recent, axis=0)
        self._hum_counts = running[self.delay_frames :] - running[: len(hum)]
        self._hum_tail = recent[len(hum) :]
        return led

    def _step(
        self,
        strength: npt.NDArray[np.float64],
        rises: npt.NDArray[np.float64],
        levels: npt.NDArray[np.float64],
        spread: npt.NDArray[np.float64],
        start: float,
        finished: list[NoteEvent],
    ) -> None:
        t = self._frame
        self._rises.append(rises)
        self._levels.append(levels)
        self._strengths.append(spread)
        end = start * self._HYSTERESIS
        low = self._grid.low
        # (Read once: this loop runs for every note in every frame.)
        struck, delay, restrike_from = self._struck, self.delay_frames, t - self._window - 1
        tonal, active, wide, deep = self._tonal, self._active, self._wide, self._deep
        if 0 <= self._next_release <= t:
            self._measure_tails(t)
        for key in list(self._active):
            note = self._active[key]
            # Read as Python floats and compared rather than `max`ed: this runs for every note in
            # every frame, and NumPy's scalars are slow to compare.
            value = strength.item(key - low)
            if value > note.peak:
                note.peak = value
            note.joined = note.joined and value < start
            if restrike_from >= note.onset_frame and restrike_from >= note.settled:
                # Its loudest before the frame that a restrike would start with: a slow attack
                # that is still growing is no fall and rise.
                grouped = self._strengths[0].item(struck[key - low])
                if grouped > note.grouped:
                    note.grouped = grouped
            heard = levels.item(struck[key - low])
            # The velocity is the attack's: read over the frames up to the decision, so that it is
            # known with the note-on, whatever the note does later.
            if t - note.onset_frame <= delay or not note.power:
                power = self._power.item(key - low)
                if power > note.power:
                    note.power = power
            if heard > note.level:
                note.level = heard
            if heard >= note.level * self._HOLD:
                note.held = t
                if deep[key - low]:
                    # A tone of its own, or named by its partials (see `salience`): then its
                    # second and third must be tones.
                    note.tone = tonal.item(key - low) or (tonal.item(key - low + 12) and tonal.item(key - low + 19))
                elif wide[key - low]:
                    # (A low string's second partial may be stronger than its fundamental; see
                    # `_skirt`.)
                    octave = key - low + 12
                    note.tone = tonal.item(key - low) or (
                        octave < len(tonal) and tonal.item(octave) and key + 12 not in active
                        and levels.item(octave) > levels.item(key - low))
            else:
                note.fell = True
            if note.first < 0:
                note.first = t
            note.history.append(heard)
            # A decided note whose own level holds goes on while it is no voice: the voices are
            # chosen frame by frame, and a louder note nearby can take its place among them
            # (a melody note whose partials lie on its neighbour's) while its sound goes on.
            steady = t - note.onset_frame > delay and heard >= note.level * self._steady
            # ... and so does one of a chord whose other notes still sound as voices, while its own
            # level stays within `HOLD_DB` of its loudest: the notes of a chord beat with each other
            # and share partials, and the voices pass among them, while a note let go falls that
            # far within a few time constants of its channel.
            steady = steady or (value < end and t - note.onset_frame > delay and heard >= note.level * self._HOLD
                                and (self._in_chord(note, voices=True) or self._octave_voice(note)))
            if ((value < end or value < note.peak * self._DECAY) and not steady
                    and not self._held_voice(note, heard)):
                note.below += 1
                if note.below > self.gap_frames:
                    # The level is smoothed: it falls for a while after the sound stopped, and
                    # the note ends where its fall began.
                    # A note ending before it was checked for a lower note's partial is checked now,
                    # and one ending before it was decided for a knock.
                    if ((t - note.onset_frame >= self._reach or not self._lower_partial(note))
                            and not (t - note.onset_frame <= self.delay_frames
                                     and (self._knock(note) or self._overtone(note, strength) or self._quint(note)
                                          or self._swept(note) or self._skirt(note)
                                          or self._swollen_partial(note) or self._mains(note)))):
                        ended = min(t - note.below, self._release(note)) + 1
                        self._close(note, ended, finished, t - note.below + 1)
                        self._ended[key] = t
                        if t - note.onset_frame > delay:
                            due = ended + self._tail_to
                            self._releases.append((due, ended, key))
                            if not 0 <= self._next_release <= due:
                                self._next_release = due
                        if note.joined and t - note.onset_frame <= delay:
                            self._unsaid[key] = note.onset_frame
                        else:
                            self._unsaid.pop(key, None)
                        # (Its string may ring on under the notes that took its place, though it had not
                        # fallen far: a louder note a tone away takes it out of the voices at once; see
                        # `_rings_back`.)
                        if (t - note.below - note.onset_frame > delay
                                and self._left_to_ring(key - low, note, t - note.below, beating=True)):
                            self._rang[key] = t - note.below
                        else:
                            self._rang.pop(key, None)
                    del self._active[key]
                continue
            note.below = 0
            # A note of a chord, under the floor of a note alone, swings with the others as it
            # grows: it is not struck again before it is decided.
            young = note.joined and t - note.onset_frame <= delay
            restruck = None if young or not self._peaked[key - low] else self._restrike(key - low, note)
            settled = -1
            dipped = self._lifted[key - low] or self._tongue[key - low]
            if restruck is None and not young and (dipped or self._stop[key - low]):
                again = self._rearticulated(key - low, note, stopped_only=not dipped)
                if (again is not None and not self._dip_notched(key - low, again[1])
                        and not self._moved(key - low, again[1])
                        and self._renewed(key - low, again[1] - self._lags[key - low], again[1])
                        and (self._tongue[key - low] or not self._rings_on(key - low, note, again[0]))):
                    restruck, settled = again
            if restruck is not None and self._swelling(note, restruck):
                restruck = None
            # Nor out of a dip, or a fall unless struck and left to ring, while a chord holds round
            # it: its notes beat with each other.
            if (restruck is not None and self._chord_held(note, restruck)
                    and (settled >= 0 or not self._left_to_ring(key - low, note, restruck, beating=True))):
                restruck = None
            # A decided note is played again out of a dip only where its partials dipped with it.
            if (restruck is not None and settled >= 0 and t - note.onset_frame > delay
                    and not self._shared_dip(key - low, settled)):
                restruck = None
            # Nor where it only swells in its own tail (see `_in_tail`).
            if restruck is not None and self._in_tail(key - low, restruck):
                restruck = None
            if restruck is not None:
                # Struck again before it was decided: the knock of another note's attack is
                # dropped here as it would be had it ended, and its dip and return is no new
                # attack (a knock beats with the note's own sound).
                if t - note.onset_frame <= self.delay_frames and self._knock(note):
                    del self._active[key]
                    continue
                self._close(note, restruck, finished)
                # The same voice goes on swinging: its new attack is held to the swing heard before.
                self._active[key] = _Note(key, restruck, value, heard, 0.0, held=t, settled=settled,
                                          swung=self._swing(note, restruck))
        # The notes that rise together in this frame, under the floor of a note alone but above a
        # chord's: a chord's notes begin together, and each is the others' evidence.
        self._forming = [low + index for index in self._rising if low + index not in self._active]
        for index in self._above:
            key = low + index
            if key in self._active:
                continue
            alone = strength[index] >= start
            # Under the floor of a note alone, only where a chord may have begun (cheap, first).
            if (key not in self._active and (alone or self._chord(key, t - self.delay_frames + 1, t))
                    and (self._attacked(index, levels)
                         or (alone and self._played_on_held(index, strength)))):
                note = _Note(
                    key, self._onset(index), float(strength[index]), float(levels[self._struck[index]]), 0.0,
                    held=t,
                )
                if self._lifted_partial(index, note.onset_frame, levels):
                    continue
                if self._in_tail(int(index), note.onset_frame, partials=True):
                    continue
                if alone:
                    self._active[key] = note
                    traced = self._with_chord(note)
                    if traced is not None:
                        note.onset_frame = traced
                        continue
                    # A chord's voice may rise, sink into a notch where it beats with the others
                    # and only then come over the floor of a note alone: traced back over that
                    # swing as a chord's note is (checked at once for a lower note's partial).
                    traced = self._swung_onset(int(index), note.onset_frame)
                    if traced is not None:
                        note.onset_frame = traced
                        if self._lower_partial(note) or self._lifted_partial(index, traced, levels):
                            del self._active[key]
                    continue
                # A chord's low notes are heard late, first as their shared partials: their own
                # level is traced back as far as the delay allows.
                reach = self.delay_frames - 1
                traced = self._floor_onset(int(index), reach, swing=True)
                traced = self._heard_first(int(index), traced, reach, swing=True)
                if traced is not None and traced < note.onset_frame:
                    note.onset_frame = traced
                if self._chord(key, note.onset_frame, note.onset_frame):
                    note.joined = True
                    self._active[key] = note
                    # Placed past where a lower note's partial is checked: checked now.
                    if t - note.onset_frame >= self._reach and self._lower_partial(note):
                        del self._active[key]
        if self._active:
            self._check_young(t, strength, levels, end)
        self._frame += 1

    def _measure_tails(self, t: int) -> None:
        """Measures the fall of the tails whose span after their release ends with this frame."""
        due = [r for r in self._releases if r[0] <= t]
        self._releases = [r for r in self._releases if r[0] > t]
        self._next_release = min(self._releases)[0] if self._releases else -1
        measured = False
        floor = self._tail_floors[self._tail_row - (len(self._tail_db) - len(self._tail_floors))]
        for _, ended, key in due:
            first = ended + self._tail_from
            back = t - first
            # (Not where the pitch is played again: its new note fills the tail. A note whose
            # release lay far back, before it fell out of the voices, is measured from there to now.)
            if back < 1 or back >= self._tail_row or key in self._active:
                continue
            db = self._tail_db[self._tail_row - back : self._tail_row + 1, self._struck[key - self._grid.low]]
            # A tail that reached the floor fell faster than it shows.
            if db.min() <= floor + FLOOR_RISE_DB:
                continue
            # The slope of a line through its levels: a tail swells and dips as its reflections
            # beat, and two frames would say little of its fall.
            x = np.arange(back + 1) - back / 2.0
            fall = -float(np.dot(x, db)) / float(np.dot(x, x))
            if fall > 0:
                self._falls.append(fall)
                measured = True
        if measured and len(self._falls) >= TAIL_FALLS:
            self._room = max(statistics.median(self._falls), ROOM_DB_PER_SECOND * self._seconds)
            self._room_fall = self._room * np.arange(self._tail_frames, -1, -1.0)

    def _tail_margin(self, slot: int, onset: int) -> float:
        """How far (dB) a semitone's level now stands over its envelope before `onset`: the
        loudest it was there, each frame's level falling at the room's rate since."""
        back = self._frame - onset + 1
        start = max(0, self._tail_row - back - self._tail_frames)
        stop = self._tail_row - back + 1
        if stop <= start:
            return math.inf
        db = self._tail_db[start:stop, slot]
        envelope = float(np.max(db - self._room_fall[len(self._room_fall) - len(db) :]))
        return float(self._tail_db[self._tail_row, slot]) - envelope

    def _in_tail(self, index: int, onset: int, partials: bool = False) -> bool:
        """Whether a note found at `index`, its onset at `onset`, is only a swell of the tail of
        what sounded there before: it stands over the semitone's envelope (see `_tail_margin`)
        neither in its own channel nor in its octave's by `TAIL_RISE_DB`, where a note of its
        pitch ended within `TAIL_SECONDS` (or, given `partials`, a note it lies an octave, a
        twelfth or a double octave over, unless another note began with it), else it stands
        `TAIL_DEEP_DB` under it in both."""
        if self._room is None:
            return False
        slot = self._struck[index]
        key, since = index + self._grid.low, onset - self._tail_frames
        own = self._ended.get(key, -1) >= since
        # Each partial of a note let go decays and beats with the room at its own frequency: it
        # may outlast its fundamental or swell while that fades, but it stays under what the note
        # put there, and a new note there rises out of it. Not so where another note began with
        # it: a swell comes alone, with no attack, while a chord's or a melody's comes with others.
        if (not own and partials and any(self._ended.get(key - step, -1) >= since for step in OVERTONE_STEPS)
                and not self._begun_with(key, onset)):
            own = True
        least = TAIL_RISE_DB if own else -TAIL_DEEP_DB
        if self._tail_margin(slot, onset) >= least:
            return False
        return slot + 12 >= self._grid.count or self._tail_margin(slot + 12, onset) < least

    def _begun_with(self, pitch: int, onset: int) -> bool:
        """Whether another note began within a decision window of `onset` (or rises now above a
        chord's floor), neither a neighbour of `pitch` (a transient spreads to those) nor under
        it a partial step down (whose partial it may be)."""
        return (any(abs(other.onset_frame - onset) <= self._window and _beside(other.pitch, pitch)
                    for other in self._active.values())
                or any(_beside(other, pitch) for other in self._forming))

    def _with_chord(self, note: _Note) -> int | None:
        """The onset of `note`, starting above the floor of a note alone, traced back from its
        own level as far as the delay allows, where that is earlier and reaches the onset of
        another note that holds, neither its neighbour nor a partial step away; None where it
        does not: a slow attack's notes (bowed strings, an organ's pipes) begin together, and the
        one that crosses the threshold later was growing from that onset too."""
        index, reach = note.pitch - self._grid.low, self.delay_frames - 1
        traced = self._heard_first(index, self._floor_onset(index, reach), reach)
        if traced is None or traced >= note.onset_frame:
            return None
        # ... and only where its level was climbing already before the onset found first: a level
        # that sat on a floor there (the leak of the note before, in a legato line) began there.
        row, before = self._block_row - self._frame, note.onset_frame - 1
        if (self._decibels[row + before, index]
                - self._decibels[row + max(traced, before - self._window), index] < FLOOR_RISE_DB):
            return None
        if any(abs(other.onset_frame - traced) <= self._window and other.held >= self._frame - 1
               and _apart(other.pitch, note.pitch) for other in self._active.values()):
            return traced
        return None

    def _check_young(self, t: int, strength: npt.NDArray[np.float64], levels: npt.NDArray[np.float64],
                     end: float) -> None:
        """Drops the notes not yet decided that turn out to be another's attack, partial or knock."""
        low = self._grid.low
        # The notes of each check, found in one pass (only notes are dropped below, none change).
        fading, reached, decided = [], [], []
        for k, n in self._active.items():
            age = t - n.onset_frame
            if age <= self.delay_frames:
                if age < self.delay_frames and n.below == 1 and not strength.item(k - low):
                    fading.append(k)
                if age == self._reach:
                    reached.append(k)
                if age == self.delay_frames:
                    decided.append(k)
        for key in fading:
            if self._attack_partial(self._active[key], strength >= end):
                self._attack_began(self._active[key], strength >= end)
                del self._active[key]
        for key in reached:
            # (A low string's channels are slow: it may be taken after its lifted partial.)
            if key in self._active and (self._lower_partial(self._active[key])
                                        or self._lifted_partial(key - low, t - self._reach, levels)):
                del self._active[key]
        for key in decided:
            if key in self._active and self._swollen_partial(self._active[key]):
                del self._active[key]
        # A low pipe or bow speaks first in its octave: the note taken there is then handed over to
        # its fundamental, which grew under it within the delay, to be decided in its place.
        for key in [k for k in decided if k in self._active]:
            lower = self._spoke_in_octave(self._active[key])
            if lower is not None:
                lower.onset_frame = self._active.pop(key).onset_frame
                decided.append(lower.pitch)
        # Low to high: a note's timbre is learned before the notes over it are judged by it.
        decided = [k for k in decided if k in self._active]
        for key in sorted(decided) if decided else ():
            if (self._knock(self._active[key]) or self._overtone(self._active[key], strength)
                    or (self._active[key].fell and self._swept(self._active[key]))
                    or self._skirt(self._active[key]) or self._rings_back(self._active[key], levels)
                    or self._quint(self._active[key]) or self._under_octave(self._active[key])
                    or self._mains(self._active[key])):
                del self._active[key]
            else:
                self._learn_timbre(key)

    def _spoke_in_octave(self, note: _Note) -> _Note | None:
        """The note not yet decided an octave under `note`, now decided, that began after it
        within two decision windows, while `note` holds its level: the octave of a low pipe or
        bowed string speaks first (its partials are all the low note's even ones), and its
        fundamental grows a little later, as its channel settles, with nothing new in the octave."""
        lower = self._active.get(note.pitch - 12)
        # (Within half a decision window of each other, the two began as one attack: an octave
        # struck or bowed together, whose lower channel is only the slower to settle.)
        if (lower is None or note.joined or lower.joined or note.held < self._frame - 1
                or not note.onset_frame + self._window // 2 < lower.onset_frame <= note.onset_frame + self._window * 2):
            return None
        # The low note's odd partials tell it from a partial or a leak under the octave's note:
        # its third (a fifth over the octave) sounds near its second. (Nor is it a partial itself
        # of a note sounding under it; and under `WEAK_FUNDAMENTAL_HZ` it is heard by its octave,
        # its fundamental too faint to be heard growing.)
        index = lower.pitch - self._grid.low
        if (index + 19 >= self._grid.count or self._struck[index] != index
                or self._sounding_below(index) is not None):
            return None
        # A note alone: a chord's notes begun with it, off the low note's partials, have their own rule.
        if any(k - lower.pitch not in PARTIAL_STEPS and abs(other.onset_frame - note.onset_frame) <= self._window
               for k, other in self._active.items() if k != lower.pitch):
            return None
        levels, struck = self._levels[-1], self._struck
        return lower if levels.item(struck[index + 19]) >= levels.item(struck[index + 12]) * self._THIRD else None

    def _swollen_partial(self, note: _Note) -> bool:
        """Whether the note, now decided (or ending before that), lies an octave over a note
        sounding since a decision window before its onset, and its own second partial (the lower
        note's fourth) rose, from the frame before its onset to its loudest since, by no more
        than `FLOOR_SLACK_DB` over the lower note's third partial: a note played an octave over a
        held one brings partials of its own, while a held note that swells (a bow's pressure, a
        player's breath) swells in its partials together, though its octave partial may swell
        most."""
        low, count = self._grid.low, self._grid.count
        index = note.pitch - low
        under = self._active.get(note.pitch - 12)
        back = self._frame - note.onset_frame + 1
        if (under is None or under.onset_frame >= note.onset_frame - self._window or index + 12 >= count
                or back >= len(self._levels)):
            return False
        rows = [self._levels[-1 - k] for k in range(back, -1, -1)]

        def rise(slot: int) -> float:
            return 20.0 * math.log10(max(max(r.item(slot) for r in rows[1:]), SILENCE)
                                     / max(rows[0].item(slot), SILENCE))

        return rise(index + 12) <= rise(index + 7) + FLOOR_SLACK_DB

    def _held_voice(self, note: _Note, heard: float) -> bool:
        """Whether a note of a chord, not yet decided, is a held voice that is no voice in this
        frame: its semitone still stands out as a tone near its loudest level, on no partial of a
        note sounding, among others of a chord that hold. Its partials are taken for the chord's
        other notes' while its sound goes on."""
        t = self._frame
        if t - note.onset_frame > self.delay_frames or heard < note.level * self._steady:
            return False
        pitch = note.pitch
        if not self._tonal[pitch - self._grid.low] or any(pitch - d in self._active for d in PARTIAL_STEPS):
            return False
        # ... nor an octave or a twelfth over a tone as loud (its partial, the tone no note yet).
        if self._tones_under(pitch - self._grid.low):
            return False
        return self._in_chord(note)

    def _octave_voice(self, note: _Note) -> bool:
        """Whether a note begun with `note` (within the delay) lies an octave over it and holds
        its level: where a tone's second partial outweighs its fundamental (a voice's formant),
        the voices name its octave and leave its fundamental out, while it sounds on."""
        octave = self._active.get(note.pitch + 12)
        return (octave is not None and octave.held >= self._frame - 1
                and abs(octave.onset_frame - note.onset_frame) <= self.delay_frames)

    def _swelling(self, note: _Note, restruck: int) -> bool:
        """Whether a restrike found of a note of a chord (or of one struck with a chord, on its
        partials) lies before the note was decided: it swings with the others as it grows (as
        one under the floor of a note alone does)."""
        if restruck - note.onset_frame > self.delay_frames:
            return False
        note.swelled = note.swelled or self._in_chord(note) or self._over_held(note)
        return note.swelled

    def _over_held(self, note: _Note) -> bool:
        """Whether at least `CHORD_NOTES` - 1 notes more than a tone under `note`, it on a partial
        of one of them, began within a decision window of it and hold: a melody note struck with
        its chord lies on the chord's partials, and its channel beats with them as theirs do
        with each other."""
        t, pitch = self._frame, note.pitch
        under = [other.pitch for other in self._active.values()
                 if other.pitch < pitch - 2 and other.held >= t - 1
                 and abs(other.onset_frame - note.onset_frame) <= self._window]
        return len(under) >= CHORD_NOTES - 1 and any(pitch - p in PARTIAL_STEPS for p in under)

    def _in_chord(self, note: _Note, voices: bool = False) -> bool:
        """Whether at least `CHORD_NOTES` - 1 other notes that hold their level (and, with
        `voices`, are voices still: its chord sounds on, for a chord let go falls out of the
        voices together) began within a decision window of `note`, none of them its neighbour or
        on a partial step from it."""
        t, pitch = self._frame, note.pitch
        others = sum(other.held >= t - 1 and not (voices and other.below)
                     and abs(other.onset_frame - note.onset_frame) <= self._window
                     and _apart(other.pitch, pitch) for other in self._active.values())
        return others >= CHORD_NOTES - 1

    def _chord_held(self, note: _Note, candidate: int) -> bool:
        """Whether at least `CHORD_NOTES` - 1 other notes, none of them its neighbour or on a
        partial step from it, began before the frame `candidate` and hold their level: a chord
        held round it, whose notes' partials beat in the channels they share and dip a note's
        level there, while nothing new began."""
        t, pitch = self._frame, note.pitch
        others = sum(other.held >= t - 1 and other.onset_frame < candidate and _apart(other.pitch, pitch)
                     for other in self._active.values() if other is not note)
        return others >= CHORD_NOTES - 1

    def _tones_under(self, index: int) -> list[int]:
        """The semitones an octave and a twelfth under `index` that stand out as tones within
        `FUNDAMENTAL_SPAN_DB` of its level: a note there has it among its first partials."""
        levels = self._levels[-1]
        span = 10.0 ** (-FUNDAMENTAL_SPAN_DB / 20.0)
        return [index - d for d in (12, 19)
                if index >= d and self._tonal[index - d] and levels[index - d] >= span * levels[index]]

    def _chord(self, pitch: int, earliest: int, latest: int) -> bool:
        """Whether a note at `pitch` starting between the frames `earliest` and `latest` starts
        with at least `CHORD_NOTES` - 1 other notes that still hold their level, their onsets
        within a decision window of its own, or that rise with it in this frame: one chord."""
        # A note on a partial of another (but one let go), or with no tone of its own standing out
        # (the thump of an attack) is none of a chord's; nor are the neighbours that a transient
        # spreads to.
        index = pitch - self._grid.low
        if not self._tonal[index] or any(pitch - d in self._active and not self._let_go(self._active[pitch - d])
                                         for d in PARTIAL_STEPS):
            return False
        # ... nor one an octave or a twelfth over a tone, which is heard first as its partials,
        # unless that tone fades: the chord before, let go, whose partials no longer grow.
        if any(not self._fading(under) for under in self._tones_under(index)):
            return False
        others = sum(earliest - self._window <= other.onset_frame <= latest + self._window
                     and other.held >= self._frame - 1 and _apart(other.pitch, pitch)
                     for other in self._active.values())
        # ... or that rise with it now, above a chord's floor.
        others += sum(_apart(other, pitch) and not any(other - d in self._active for d in PARTIAL_STEPS)
                      for other in self._forming if other not in self._active)
        return others >= CHORD_NOTES - 1

    def _swung_onset(self, index: int, onset: int) -> int | None:
        """The onset of a note above the floor of a note alone, traced back over a swing of its
        level as a chord's note's is (see `_swung`), where it is earlier than `onset`; None where
        it is not, or where the note may not be so traced. It must stand out as a tone on no
        partial of a sounding note (as a chord's note, see `_chord`), an octave or a twelfth over
        no sound as loud as `FUNDAMENTAL_SPAN_DB` under it that does not fade, where the channels are no wider than a semitone (wider, the skirts of low
        notes beat into swells of their own); another note more than a tone away that holds its
        level must have begun within a decision window of where its level first rose (a chord's
        voices begin together; a melody's note follows the one before it), below `KNOCK_HZ` no
        note `KNOCK_MARGIN_DB` louder under it; and at the loudest frame of that first rise its
        semitone must have stood within `BESIDE_DB` of the semitones a semitone and a tone away:
        a neighbour's leak lies far under the neighbour."""
        pitch = index + self._grid.low
        if self._wide[index] or self._deep[index] or not self._tonal[index]:
            return None
        if any(pitch - d in self._active and not self._let_go(self._active[pitch - d]) for d in PARTIAL_STEPS):
            return None
        # ... nor, as loud as the fundamental of a sound an octave or a twelfth under it that does
        # not fade, that sound's partial: its fundamental may be no tone yet among a chord's.
        now, span = self._levels[-1], 10.0 ** (-FUNDAMENTAL_SPAN_DB / 20.0)
        if any(index >= d and now.item(index - d) >= span * now.item(index) and not self._fading(index - d)
               for d in (12, 19)):
            return None
        reach = self.delay_frames - 1
        traced = self._heard_first(index, self._floor_onset(index, reach, swing=True), reach, swing=True)
        if traced is None or traced >= onset:
            return None
        t = self._frame
        if not any(other.held >= t - 1 and abs(other.onset_frame - traced) <= self._window
                   and abs(other.pitch - pitch) > 2 for other in self._active.values() if other.pitch != pitch):
            return None
        if self._grid.frequencies[index] < KNOCK_HZ:
            # ... nor, low, one that began with a louder note under it: it may be the knock of that
            # note's attack, which needs the whole delay to show its fall (see `_knock`).
            level = self._levels[-1].item(self._struck[index]) * 10.0 ** (KNOCK_MARGIN_DB / 20.0)
            if any(other.pitch < pitch and other.held >= t - 1 and other.level >= level
                   and abs(other.onset_frame - traced) <= self._window for other in self._active.values()):
                return None
        row = max((self._levels[-1 - (t - f)] for f in range(traced, onset)), key=lambda row: row.item(index))
        beside = max(row.item(k) for k in (index - 2, index - 1, index + 1, index + 2) if 0 <= k < self._grid.count)
        return traced if row.item(index) >= beside * 10.0 ** (-BESIDE_DB / 20.0) else None

    def _fading(self, index: int) -> bool:
        """Whether the semitone's level has fallen `HOLD_DB` under its loudest in the last
        `delay_frames` frames: a note there was let go."""
        return bool(self._levels[-1].item(index) < self._held_loudest.item(index) * self._HOLD)

    def _let_go(self, note: _Note) -> bool:
        """Whether `note`, sounding since before the last `delay_frames` frames, fades in them: a
        note of the chord before, let go, whose partials no longer hide a new note's."""
        return note.onset_frame < self._frame - self.delay_frames and self._fading(note.pitch - self._grid.low)

    def _release(self, note: _Note) -> int:
        """The frame where the note's release began (see the module's notes), or, for a note with
        no clear release, its last frame within `HOLD_DB` of its loudest level."""
        span = self._release_frames
        if len(note.history) < 2 * span + 2:
            return note.held
        db = 20.0 * np.log10(np.maximum(np.asarray(note.history), SILENCE))
        top = int(np.argmax(db))
        k = np.arange(top + span, len(db) - span)
        if not len(k):
            return note.held
        # Rates of fall in dB per frame: over the `span` frames after k, and from the loudest to k.
        after = (db[k] - db[k + span]) / span
        before = (db[top] - db[k]) / (k - top)
        never_back = np.maximum.accumulate(db[::-1])[::-1][k + span] < db[k] - RETURN_DB
        found = np.flatnonzero((after - before > self._release_db) & never_back)
        if not len(found):
            return note.held
        # The smoothed level begins to fall before its fall is steep: back over the frames that
        # still fall faster than the decay before.
        first = int(found[0])
        j, rate = int(k[first]), float(before[first]) + RELEASE_START_DB_PER_SECOND * self._seconds
        while j - 1 > top and db[j - 1] - db[j] > rate:
            j -= 1
        return note.first + j

    def _recent_db(self, index: int) -> float:
        """The loudest log level of a semitone over the last two decision windows: a chord's
        notes beat, and a partial may lie in a trough when its fundamental does not."""
        # Worked out for all semitones at once, once in a frame that asks for it.
        if self._recent[0] != self._frame:
            kept = islice(self._levels, max(0, len(self._levels) - 2 * self._window), None)
            loudest = next(kept).copy()
            for levels in kept:
                np.maximum(loudest, levels, out=loudest)
            self._recent = (self._frame, _decibels(loudest).tolist())
        return self._recent[1][index]

    def _learn_timbre(self, pitch: int) -> None:
        """Records how loud a decided note's second, third and fourth partials are over its
        fundamental, where no other sounding note has one of its first partials there."""
        low, count = self._grid.low, self._grid.count
        index = pitch - low
        base = self._recent_db(index)
        shares: list[float | None] = []
        for d in OVERTONE_STEPS:
            slot = index + d
            shared = any(other != pitch and slot + low - other in (0,) + OVERTONE_STEPS for other in self._active)
            shares.append(None if slot >= count or shared else self._recent_db(slot) - base)
        self._timbre.append((pitch, shares))

    def _overtone(self, note: _Note, strength: npt.NDArray[np.float64]) -> bool:
        """Whether the note, now decided (or ending before that) in a chord, lies an octave, a
        twelfth or two octaves over a note or voice, already heard a decision window after its
        onset, that it outsounds by no more than `OVERTONE_MARGIN_DB` over that partial of the
        decided notes nearest in pitch (or of those at the lower note's pitch, if more): it is the
        lower note's partial (an organ's octave stop, a voice's formant), as loud as the
        recording's own timbre makes it. A melody note an octave over a chord's note is louder
        than its partial; a lower note that only begins later is played under a note that was
        there first. Outside a chord the same holds over a held note begun within a decision
        window of it, once the timbre is known: a single line sung by a choir or played on an
        organ brings its formants and octave ranks with each note's own attack."""
        low = self._grid.low
        index = note.pitch - low
        own = self._recent_db(index)
        # The levels a decision window after the onset: the lower note was heard by then.
        early = self._levels[max(0, len(self._levels) - 1 - max(0, self._frame - note.onset_frame - self._window))]
        # Only among the notes of a chord: two voices an octave apart are as often both played.
        chord = [other for other in self._active.values() if other is not note
                 and abs(other.onset_frame - note.onset_frame) <= self.delay_frames
                 and not any(other.pitch - d in self._active for d in PARTIAL_STEPS)]
        # Outside a chord, only over a held note begun as the same attack: an ensemble's formant
        # or octave rank speaks with its note, while a voice played over a held note starts
        # later, and two strings struck together each ring on their own.
        alone = len(chord) < CHORD_NOTES - 1
        for k, d in enumerate(OVERTONE_STEPS):
            below = index - d
            if alone:
                lower = self._active.get(note.pitch - d)
                if (lower is None or abs(lower.onset_frame - note.onset_frame) > self._window
                        or self._left_to_ring(below, lower, self._frame) or self._struck_octave(note, lower)):
                    continue
            if (below < 0 or self._grid.frequencies[below] < WEAK_FUNDAMENTAL_HZ
                    or not (note.pitch - d in self._active or strength[below] > 0)):
                continue
            tone = self._recent_db(below)
            if 20.0 * math.log10(max(early.item(below), SILENCE)) < tone - FUNDAMENTAL_SPAN_DB:
                continue
            # Before any note is decided, a partial is taken to be as loud as its fundamental.
            expected = self._partial_share(note.pitch - d, k)
            if expected is None:
                # A note alone is weighed only against a timbre heard: two strings plucked an
                # octave apart are as loud as one string's partial may be.
                if alone:
                    continue
                expected = 0.0
            # A body's or a pipe's resonances lie at fixed frequencies: where notes at this very
            # pitch were decided, their partial may stand further over the fundamental than most.
            same = sorted(share for p, shares in self._timbre
                          if p == note.pitch - d and (share := shares[k]) is not None)
            if same:
                expected = max(expected, same[(len(same) - 1) // 2])
            if own - tone <= expected + OVERTONE_MARGIN_DB:
                return True
        return False

    def _quint(self, note: _Note) -> bool:
        """Whether the note, now decided (or ending before), lies a fifth over a note that holds, begun before it or
        within a decision window after, outsounds it by no more than `OVERTONE_MARGIN_DB`, has
        no note sounding between them nor any over the lower one begun with it, and its own third
        partial is no tone: it is the rank an organ sounds a fifth over each pipe, a pure tone
        that speaks with the pipe or swells under it. A voice playing a fifth over another has
        partials of its own, and a chord's fifth begins with its third between them."""
        low, pitch, onset = self._grid.low, note.pitch, note.onset_frame
        lower = self._active.get(pitch - 7)
        if lower is None or lower.onset_frame > onset + self._window or lower.held < self._frame - 1:
            return False
        if any(other is not note and other.pitch > pitch - 7
               and (other.pitch < pitch or abs(other.onset_frame - onset) <= self._window)
               for other in self._active.values()):
            return False
        third = pitch - low + 19
        if third < self._grid.count and self._tonal[third]:
            return False
        return self._recent_db(pitch - low) - self._recent_db(pitch - 7 - low) <= OVERTONE_MARGIN_DB

    def _under_octave(self, note: _Note) -> bool:
        """Whether the note, now decided, began an octave under a note that sounded a decision
        window before it and holds, while that note's channel, where its own second partial lies,
        rose by no `FLOOR_SLACK_DB` since a little before its onset: a low bowed or blown note is
        heard first in its octave, and its fundamental grows later with nothing new in the octave,
        while a note played under another adds its second partial to that channel."""
        index, onset = note.pitch - self._grid.low, note.onset_frame
        upper = self._active.get(note.pitch + 12)
        # (From a few frames before the onset: an onset may lie a frame or two late.)
        back = self._frame - onset + 3
        if (upper is None or upper.onset_frame >= onset - self._window or upper.held < self._frame - 1
                or back >= len(self._levels)):
            return False
        before = max(float(self._levels[-1 - back].item(index + 12)), SILENCE)
        return bool(self._levels[-1].item(index + 12) < before * self._SLACK)

    def _settling(self, note: _Note, until: int) -> bool:
        """Whether `note` has been heard for less than the frames an onset may lie in since a
        decision window after its onset, up to the frame `until`: it has not shown its swing
        yet. A slow attack (an organ's, a choir's, bowed strings') wavers as it settles, and its
        fundamental's channel with it; only a rise of its partials in all is a new attack."""
        begin = max(0, max(note.onset_frame, note.settled) + self._window - note.first)
        return until - note.first - begin < self._reach

    def _knock(self, note: _Note) -> bool:
        """Whether `note`, low and fallen `HOLD_DB` under its loudest since (a knock beats with
        the note's own sound and may come back a little), started with another note that still
        holds: it was the knock of that note's attack (a body or a hammer)."""
        t = self._frame
        # (A knock's return, though, need not fall again: the knock it goes on with fell.)
        knock = self._knocks.get(note.pitch)
        if not note.fell and not (knock is not None and 0 <= note.onset_frame - knock <= self.delay_frames):
            return False
        # Below `WEAK_FUNDAMENTAL_HZ` its level is its octave's, which the leak of an offset or the
        # attack's noise may swing: a fundamental that rings on as a tone within `HOLD_DB` of its
        # loudest is the string or pipe itself, where a knock dies at once.
        index = note.pitch - self._grid.low
        if self._struck[index] != index and self._tonal[index]:
            own = self._decibels[max(0, self._block_row - (t - note.onset_frame)) : self._block_row + 1, index]
            if own[-1] >= own.max() - HOLD_DB:
                return False
        # Higher up, only a note whose partials the other's lie on: the channels under a new
        # note gather its partials as their own, and its attack's noise lifts their fundamental.
        # Or one under a note alone that began before it or with it (a frame or two after at
        # most): the attack struck a body resonance, which rings at its own frequency and dies at
        # once. A knock cannot come before the attack that struck it, and a chord's notes fade
        # each at its own rate.
        steps = None if self._grid.frequencies[note.pitch - self._grid.low] < KNOCK_HZ else PARTIAL_STEPS
        margin = 10.0 ** (KNOCK_MARGIN_DB / 20.0)
        # A knock beats with the note's own sound: one that comes back after a dip, within the
        # delay of a knock dropped at its pitch, started with that knock.
        began = note.onset_frame
        if knock is not None and 0 <= began - knock <= self.delay_frames:
            began = knock
        # Notes are updated in turn: one not yet updated in this frame was held in the last.
        if any(other is not note and other.held >= t - 1
               and (other.level >= note.level * margin or self._died_under(note, other, began))
               and abs(other.onset_frame - began) <= self._window
               and (steps is None or other.pitch - note.pitch in steps
                    or (other.pitch > note.pitch and other.onset_frame <= began + 2
                        and not note.joined and not self._in_chord(note)))
               for other in self._active.values()):
            # It is dropped (every caller does so); its return is looked for.
            self._knocks[note.pitch] = began
            return True
        return False

    def _died_under(self, note: _Note, other: _Note, began: int) -> bool:
        """Whether `note`, begun with `other` over it (a frame or two apart at most), was at its
        loudest before `other` was and has died since while `other` rings on within
        `FLOOR_SLACK_DB` of its loudest: however loud, it was a transient of that note's attack.
        A low channel settles slower than a higher one, so a low note struck with a higher one
        reaches its loudest after it; a component that peaks first and falls at once while the
        string still grows (a pickup's or a body's resonance, the thump of a pluck) is no note,
        unless its octave rose with it (a note's second partial) or it lies among others as loud
        that ring on (a chord's note in a notch)."""
        if (other.pitch <= note.pitch or abs(other.onset_frame - began) > 2
                or not note.history or not self._near_loudest(other)
                or note.loudest_frame() >= other.loudest_frame()):
            return False
        # Among other notes as loud that ring on as well, begun with it, it is a chord's note in
        # a notch where it beats with them (an organ's); the rest of what an attack strikes is
        # far weaker, or dies too.
        t, quiet = self._frame, 10.0 ** (-KNOCK_MARGIN_DB / 20.0)
        peers = sum(peer is not note and self._near_loudest(peer) and peer.level >= note.level * quiet
                    and abs(peer.onset_frame - note.onset_frame) <= self._window and _apart(peer.pitch, note.pitch)
                    for peer in self._active.values())
        if peers >= CHORD_NOTES - 1:
            return False
        # A resonance is one mode, with no partials of its own; a note played short under the
        # other, as loud, has its second partial rise and die with it (where its octave only
        # fell from its onset on, that was a note before, fading).
        index = note.pitch - self._grid.low
        if index + 12 >= self._grid.count or self._struck[index] != index:
            return False
        rows = self._decibels[max(0, self._block_row - (t - note.onset_frame)) : self._block_row + 1]
        octave = rows[:, index + 12]
        return bool(octave.max() <= rows[:, index].max() - KNOCK_MARGIN_DB
                    or octave.max() <= octave[0] + FLOOR_SLACK_DB)

    def _near_loudest(self, note: _Note) -> bool:
        """Whether `note`'s level in its last frame lies within `FLOOR_SLACK_DB` of its loudest."""
        return bool(note.history) and note.history[-1] * self._SLACK >= note.level

    def _swept(self, note: _Note) -> bool:
        """Whether `note`, not yet decided, lies a semitone from a louder note sounding since
        before it that holds while it has fallen `HOLD_DB` or ended: a vibrato or a scoop took
        that note's pitch across into its channel for a moment, and back. Or a semitone under a
        louder note that began within a decision window after it: that note started flat and
        rose into its pitch, as a bowed or blown note may, all its partials alike."""
        t = self._frame
        margin = 10.0 ** (KNOCK_MARGIN_DB / 20.0)
        return any(abs(other.pitch - note.pitch) == 1
                   and (other.onset_frame < note.onset_frame
                        or (other.pitch > note.pitch and other.onset_frame - note.onset_frame <= self._window))
                   and other.held >= t - 1 and other.level >= note.level * margin
                   for other in self._active.values()) or self._swept_partial(note)

    def _swept_partial(self, note: _Note) -> bool:
        """Whether `note`, not yet decided, lies a semitone from a partial of a note that holds,
        sounding since before it or begun with it (a frame or two later at most), where in the frame
        `note` was loudest that partial and the fundamental both read between their channel and
        the one beside it toward `note`, as far off (by the channels' response), each a peak of
        its own: a scoop or a vibrato moves all the partials of a tone by one ratio, so the
        partial crossed into the channel beside it with the fundamental (a reed's attack rising
        into its pitch, whose second partial may outweigh its fundamental). A note played there
        is in tune in its own channel, and another note's partial beside a fundamental is no
        peak of it. (Only the partials that lie on a semitone, whose channel reads them in tune.)"""
        widths, t = self._widths, self._frame
        if widths is None or not note.history:
            return False
        back = t - note.loudest_frame()
        if back >= len(self._levels):
            return False
        row = self._levels[-1 - back]
        index, count = note.pitch - self._grid.low, self._grid.count
        for other in self._active.values():
            base = other.pitch - self._grid.low
            if (other is note or other.held < t - 1 or other.onset_frame - note.onset_frame > 2
                    or not 1 < base < count - 2):
                continue
            for h, offset in zip(HARMONICS[1:], self._grid.offsets[1:]):
                side = index - base - offset
                if abs(side) != 1 or abs(12.0 * math.log2(h) - offset) > 0.05:
                    continue
                # The pairs of channels each lies between, the lower channel of each.
                pairs = (index, base - 1) if side < 0 else (index - 1, base)
                if any(k < 1 or k + 2 >= count
                       or max(row.item(k - 1), row.item(k + 2)) >= min(row.item(k), row.item(k + 1))
                       for k in pairs):
                    continue
                partial, fundamental = self._position(row, pairs[0]), self._position(row, pairs[1])
                if partial is None or fundamental is None:
                    continue
                if side < 0:  # how far each lies off its channel toward the note
                    partial, fundamental = 1.0 - partial, 1.0 - fundamental
                if partial >= 0.25 and fundamental >= 0.25 and abs(partial - fundamental) <= 0.25:
                    return True
        return False

    def _skirt(self, note: _Note) -> bool:
        """Whether `note`, where the channels are wider than a semitone (from
        `WEAK_FUNDAMENTAL_HZ` up), was no tone in the last frame it held its level: a string
        rings as a tone, standing out of the semitones beside it by a tone's fall, until it is
        let go. There the skirts of a low note and of its neighbour still ringing beat with each
        other, or with a pluck's thump, into a level that swells like a note's but rises toward
        them. (A second partial stronger than the fundamental, as a low guitar string has, that
        stands out as a tone where no other note sounds, stands for it.) Below
        `WEAK_FUNDAMENTAL_HZ`, where a note is named by its partials, its second and third must
        both have been tones: the local peaks of those beating skirts name no note."""
        index = note.pitch - self._grid.low
        return not note.tone and (self._wide[index] or self._deep[index])

    def _mains(self, note: _Note) -> bool:
        """Whether `note`'s channel turns at a multiple of the mains frequency (see `MAINS_HZ`)
        as it is decided, or did in a decision window's frames of the delay before: hum, which no
        instrument tuned to the scale plays. A note played there drives its channel at its own
        frequency from its attack on; the hum, steady under the music, drives it wherever the
        music leaves it alone, though another note's leak may take it for a while. (The turn is
        read over a time constant: the hum's onset at a recording's start settles late.)"""
        index = note.pitch - self._grid.low
        if index >= self._hum_block.shape[1]:
            return False
        row = self._hum_row
        return bool(self._hum_block[row, index]) or int(self._hum_counts[row, index]) >= self._window

    def _rings_back(self, note: _Note, levels: npt.NDArray[np.float64]) -> bool:
        """Whether `note`, decided now, lies where the last note of its pitch ended while it was
        struck and left to ring, and its own level now stands no `FLOOR_SLACK_DB` above where it
        was in the decision window before its onset: that string rang on under a louder note, which
        took it out of the voices, and comes back as that note fades or as another's attack
        spills into its channel. A string struck again stands above what still rang a decision
        window after the strike; one left to ring only decays."""
        rang = self._rang.get(note.pitch)
        if rang is None or abs(note.onset_frame - rang) > self.delay_frames:
            return False
        slot = self._struck[note.pitch - self._grid.low]
        back = self._frame - note.onset_frame + 1  # frames from the one before the onset to now
        if back + self._window > len(self._levels):
            return False
        before = max(self._levels[-1 - back - k].item(slot) for k in range(self._window))
        if levels.item(slot) >= before * self._SLACK:
            return False
        # The string rings on through it, and may come back again as the next attack spills.
        self._rang[note.pitch] = self._frame
        return True

    def _lifted_partial(self, index: int, onset: int, levels: npt.NDArray[np.float64]) -> bool:
        """Whether a note starting at `onset` lies on the sixth or a higher partial of a lower
        note that started with it, while its own second partial does not stand
        `PARTIAL_MARGIN_DB` out of that note's partials beside it: it is one partial of a
        plucked or struck string that the body lifts above the others, begun with the string.
        A note played there has partials of its own; or, over a note of a chord, stands out of
        that note's partials around it (see `_over_spectrum`)."""
        count, margin = self._grid.count, 10.0 ** (PARTIAL_MARGIN_DB / 20.0)
        if index + 12 >= count:
            return False
        for d, around in HIGH_PARTIALS:
            lower = self._active.get(index + self._grid.low - d)
            if lower is None or abs(lower.onset_frame - onset) > self._window:
                continue
            beside = [index - d + b for b in around]
            spectrum = max(levels.item(b) for b in beside if b < count) if beside[0] < count else 0.0
            if (levels.item(index + 12) <= margin * spectrum
                    and not (self._over_spectrum(index + self._grid.low, lower.pitch, levels.item(index), levels)
                             and self._in_chord(lower))):
                return True
        return False

    def _attack_partial(self, note: _Note, voiced: npt.NDArray[np.bool_]) -> bool:
        """Whether `note`, which has just stopped being a voice, lies on a partial of a lower
        note that is a voice now and started with it: it was that note's attack, heard before
        the lower note's slower channel had grown. Not where it was played over that note (see
        `_played_over`)."""
        for d in PARTIAL_STEPS:
            lower = self._active.get(note.pitch - d)
            if (lower is not None and voiced[lower.pitch - self._grid.low]
                    and abs(lower.onset_frame - note.onset_frame) <= self._window
                    and not self._played_over(note, lower) and not self._struck_octave(note, lower)):
                return True
        # A note named by its partials alone that stops being a voice so soon is no deep string
        # (which rings for seconds) but the knock of another note's attack.
        if self._grid.frequencies[note.pitch - self._grid.low] >= WEAK_FUNDAMENTAL_HZ:
            return False
        return any(other is not note and voiced[other.pitch - self._grid.low]
                   and abs(other.onset_frame - note.onset_frame) <= self._window
                   for other in self._active.values())

    def _struck_octave(self, note: _Note, lower: _Note) -> bool:
        """Whether `note`, an octave over `lower` and struck and left to ring, was struck with it
        as a string of its own: in `OCTAVE_SHARE` of the frames an onset may lie in from its onset
        at least (its strike's ring), the lower note's fourth and sixth partials (the upper
        string's second and third) stood `PARTIAL_MARGIN_DB` over the odd partials beside them.
        One string's partials fall smoothly from one to the next, with no formant to lift every
        other one; a second string an octave up adds to the even ones alone, through its ring,
        while an attack's partials stand out only until the lower channel has grown."""
        base = lower.pitch - self._grid.low
        if note.pitch - lower.pitch != 12 or base + 34 >= self._grid.count:
            return False
        # (The upper string's channel, the faster, shows the strike first.) A string rings down
        # smoothly, no faster than a note let go falls: a voice's or a pipe's partial that sank
        # out of a formant fell faster.
        if not self._left_to_ring(note.pitch - self._grid.low, note, self._frame):
            return False
        level = note.history[max(note.onset_frame - note.first, 0):]
        top = level.index(max(level))
        if level[top] > level[-1] * 10.0 ** (RELEASE_DB_PER_SECOND * (len(level) - 1 - top) * self._seconds / 20.0):
            return False
        # Judged over the frames an onset may lie in from its onset: the ring of the strike.
        last = min(self._frame, note.onset_frame + self._reach)
        span = min(last - note.onset_frame + 1, len(self._levels) - (self._frame - last))
        margin = 10.0 ** (PARTIAL_MARGIN_DB / 20.0)
        stood = 0
        for k in range(self._frame - last + 1, self._frame - last + span + 1):
            row = self._levels[-k]
            fifth = row.item(base + 28)
            if (row.item(base + 24) > margin * max(row.item(base + 19), fifth)
                    and row.item(base + 31) > margin * max(fifth, row.item(base + 34))):
                stood += 1
        return span > 0 and stood >= OCTAVE_SHARE * span

    def _over_spectrum(self, pitch: int, base: int, level: float, levels: npt.NDArray[np.float64]) -> bool:
        """Whether `level`, of the semitone `pitch` on the third or a higher partial of the note
        at `base`, stands `FORMANT_DB` above that note's partials around it in `levels`: a
        string's or a pipe's partials there fall smoothly, a formant or the body lifts one by
        less, and an attack's partials settle at those levels once the fundamental's channel
        has grown; a note played there stands above them. (On the second partial, a rich
        tone's may be its strongest.)"""
        harmonic = next((h for h in range(3, PARTIALS + 1) if round(12 * math.log2(h)) == pitch - base), 0)
        if not harmonic:
            return False
        around = (1, 2, 3, 4) if harmonic <= 4 else (harmonic - 2, harmonic - 1, harmonic + 1, harmonic + 2)
        low, count = self._grid.low, self._grid.count
        envelope = max((levels.item(slot) for h in around if h != harmonic
                        and (slot := base - low + round(12 * math.log2(h))) < count), default=0.0)
        return bool(level > envelope * 10.0 ** (FORMANT_DB / 20.0))

    def _played_over(self, note: _Note, lower: _Note) -> bool:
        """Whether `note`, on a partial of `lower`, a note of a chord, was played over it: its
        loudest level stands `PARTIAL_MARGIN_DB` further out of that note's partials around it
        than `_over_spectrum` asks (an attack's partial is loudest before the fundamental's
        channel has grown), or, while the chord's notes are voices, the octave, twelfth or two
        octaves over it stands louder than the timbre makes that partial (`_over_timbre`): a
        melody note struck with its chord, on the chord's partials."""
        if not self._in_chord(lower):
            return False
        loudest = note.level * 10.0 ** (-PARTIAL_MARGIN_DB / 20.0)
        return (self._over_spectrum(note.pitch, lower.pitch, loudest, self._levels[-1])
                or (self._in_chord(lower, voices=True) and self._over_timbre(note.pitch, lower.pitch)))

    def _over_timbre(self, pitch: int, base: int) -> bool:
        """Whether the semitone `pitch`, an octave, a twelfth or two octaves over the note at
        `base`, stands `OVERTONE_MARGIN_DB` + `PARTIAL_MARGIN_DB` further over that note than
        the partial does in the decided notes nearest to it: the recording's own timbre gives
        no partial so loud (see `_overtone`)."""
        if pitch - base not in OVERTONE_STEPS:
            return False
        expected = self._partial_share(base, OVERTONE_STEPS.index(pitch - base))
        if expected is None:
            return False
        low = self._grid.low
        return (self._recent_db(pitch - low) - self._recent_db(base - low)
                > expected + OVERTONE_MARGIN_DB + PARTIAL_MARGIN_DB)

    def _partial_share(self, base: int, k: int) -> float | None:
        """How far (in dB) the `k`th of `OVERTONE_STEPS` stands over the fundamental in the
        recording's timbre near the note at `base`: the median over the `TIMBRE_NOTES` decided
        notes nearest in pitch that have it; None where none has."""
        known = sorted((abs(p - base), share) for p, shares in self._timbre if (share := shares[k]) is not None)
        nearest = sorted(share for _, share in known[:TIMBRE_NOTES])
        return nearest[len(nearest) // 2] if nearest else None

    def _attack_began(self, attack: _Note, voiced: npt.NDArray[np.bool_]) -> None:
        """Places the onset of the lower note whose attack `attack` was (see `_attack_partial`) where
        that attack began, if it was the lower note's second partial and began first: a bowed or
        blown high note speaks in its octave before its fundamental grows, and its own level is
        traced from where that grew. Only while the lower note is young enough for its checks
        still to come."""
        if self._frame - attack.onset_frame >= self._reach:
            return
        lower = self._active.get(attack.pitch - 12)
        if (lower is not None and voiced[lower.pitch - self._grid.low]
                and 0 < lower.onset_frame - attack.onset_frame <= self._window):
            lower.onset_frame = attack.onset_frame

    def _lower_partial(self, note: _Note) -> bool:
        """Whether `note` lies on a partial of a lower note that was sounding before it and has
        not outgrown that partial: its level, relative to the lower note's, is within
        `PARTIAL_RISE_DB` of what it was before the onset, at its fundamental and at its second
        partial. A partial that swells or comes back after a dip (brass, the formants of a
        choir) is no new note; a note played on the partial raises its channel, or that of its
        second partial (a weak fundamental), above what the lower note gave it, or, an octave
        over a note let go as it began, raises both while the lower note falls."""
        # Played again out of a dip, its level before was the note's own before it, kept as one.
        if note.settled >= 0:
            return False
        low = self._grid.low
        frames = len(self._levels)
        after = frames - (self._frame - note.onset_frame) - 1  # index of the onset frame
        first = max(0, after - self._history, self._ended.get(note.pitch, -1) - self._frame + frames)
        for d in PARTIAL_STEPS:
            lower = self._active.get(note.pitch - d)
            if lower is None:
                continue
            begin = max(first, lower.onset_frame - self._frame + frames)
            # The frame before the onset is left out: the new note's rise may have begun in it.
            # A lower note heard for only a few frames before has no level of its own yet (and
            # one heard for none, where a decision window is a single frame, none at all).
            if after - 1 - begin < max(1, self._window // 2):
                continue
            recent = np.array(self._levels)
            base = lower.pitch - low
            ringing = self._left_to_ring(base, lower, self._frame + 1, beating=True)
            grown = False
            for index in (note.pitch - low, note.pitch + 12 - low):
                if index >= self._grid.count:
                    break
                # A struck string left to ring lends its partials no growth by its fall: they
                # decay at their own rates, and one that beats comes back out of its notch.
                lower_now = recent[after:, base].max()
                if ringing:
                    lower_now = max(lower_now, recent[begin : after - 1, base].max())
                before = recent[begin : after - 1, index].max() * lower_now
                now = recent[after:, index].max() * recent[begin : after - 1, base].max()
                grown |= now >= before * 10.0 ** (PARTIAL_RISE_DB / 20.0)
            if not grown and d == 12 and self._release(lower) <= note.onset_frame + self._window:
                # The lower note's second partial falls with its fundamental (let go, or its
                # string damped, as the note began): where this channel and its octave grew
                # since the onset as that fundamental fell, they hold a new note's partials,
                # grown by as much more.
                fell = recent[after - 1, base] / max(recent[-1, base], SILENCE)
                rose = [recent[-1, index] / max(recent[after - 1, index], SILENCE)
                        for index in (note.pitch - low, note.pitch + 12 - low) if index < self._grid.count]
                grown = min(rose) > 1.0 and fell >= 10.0 ** (ATTACK_DB / 20.0)
            if not grown:
                return True
        return False

    def _attacked(self, index: int, levels: npt.NDArray[np.float64]) -> bool:
        """Whether the note's partials rose by `ATTACK_DB` in the frames an onset may lie in, on
        average weighted by their levels now: the note starts with an attack. (Weighted by
        level, a pure tone's missing partials do not count against it.) An octave over a note let
        go, its own channel counts as grown by as much more as the lower note fell."""
        grid = self._grid
        weighted = total = 0.0
        for offset, weight in zip(grid.offsets, grid.weights):
            slot = index + offset
            if slot >= grid.count:
                break
            share = weight * levels[slot]
            weighted += share * self._rose[slot]
            total += share
        lower = grid.low + index - 12
        if (total > 0 and weighted < ATTACK_DB * total and index >= 12 and index + 12 < grid.count
                and (self._ended.get(lower, -1) >= self._frame - self._reach
                     or (lower in self._active and self._release(self._active[lower]) < self._frame))):
            # An octave over a note whose fundamental fell over those frames (let go, or its
            # string damped) while this channel and its octave grew: the lower note's second
            # partial here falls with its fundamental, so a channel that grew all the same holds
            # a new note's fundamental, grown by as much more as that partial fell.
            row, back = self._block_row, min(self._reach + 1, self._block_row)
            before, now = self._decibels[row - back], self._decibels[row]
            fell = before[index - 12] - now[index - 12]
            grew = now[index] - before[index]
            if fell > 0 and grew > 0 and now[index + 12] - before[index + 12] >= LEAP_RISE_DB:
                weighted += grid.weights[0] * levels[index] * max(0.0, grew + fell - self._rose[index])
        return total > 0 and weighted >= ATTACK_DB * total

    def _played_on_held(self, index: int, strength: npt.NDArray[np.float64]) -> bool:
        """Whether the note lies on a partial of notes held since before the frames an onset may
        lie in, under no new voice that has it on a partial, and its channel and its second
        partial's rose by `PARTIAL_RISE_DB` in the decision window while the held notes' own
        did not. A note played on a held note's partial adds only a few dB to channels that the
        partial and its multiples fill, too few for an attack (the sum depends on their phases),
        while the held note's own channel does not rise."""
        low, count = self._grid.low, self._grid.count
        held = []
        for d in PARTIAL_STEPS:
            if index - d < 0:
                break
            lower = self._active.get(index + low - d)
            if lower is not None and lower.onset_frame < self._frame - self._reach:
                held.append(index - d)
            elif strength[index - d] > 0:
                return False
        if not held:
            return False
        recent = [self._levels[-k] for k in range(1, min(self._window + 2, len(self._levels)) + 1)]  # newest first
        factor = 10.0 ** (PARTIAL_RISE_DB / 20.0)

        def rose(slot: int) -> bool:
            return bool(recent[0][slot] >= factor * min(r[slot] for r in recent))

        own = [slot for slot in (index, index + 12) if slot < count]
        return all(rose(slot) for slot in own) and not any(rose(slot) for slot in held)

    def _onset(self, index: int) -> int:
        """The frame where the note's rise began: see the module's notes."""
        stop = len(self._rise_rows) - len(self._decibels) + self._block_row + 1
        rises: list[float] = self._rise_rows[max(0, stop - self._reach - 1) : stop, index].tolist()
        recent = rises[-(self._window + 1) :]
        steepest = len(rises) - len(recent) + recent.index(max(recent))
        first = steepest
        while first > 0 and rises[first - 1] > 0 and rises[first - 1] >= RISE_SHARE * rises[steepest]:
            first -= 1
        onset = self._frame - (len(rises) - 1) + first
        traced = self._heard_first(index, self._floor_onset(index))
        if traced is None:
            return onset
        below = self._sounding_below(index)
        if below is not None:
            # On a partial of a lower note, its level is partly that partial's, which grows with
            # the lower note's attack and swells with its bow or breath as the partials beside
            # it do: where its level began to gain on theirs well after that attack, and after
            # its own climb began, the note began there.
            lower, beside = below
            gained = self._floor_onset(index, beside=beside)
            if gained is not None and gained >= max(traced, lower.onset_frame) + self._window:
                traced = gained
        return traced if onset < traced and self._unanswered(self._struck[index], onset, traced) else min(onset, traced)

    def _unanswered(self, slot: int, onset: int, traced: int) -> bool:
        """Whether a harmonic rise at the frame `onset` left the channel `slot` of a note heard
        there (its fundamental, the loudest of its first partials) where it was, though it rose
        by an attack since: a note's partials and its own channel begin together, the channel
        behind by a few of its time constants at most, so that rise was another note's partials."""
        now, low = self._levels[-1], self._grid.low
        # A weaker fundamental (a violin's high notes, a cello's low ones) is heard late and among
        # other sounds. (Where a sounding note has a partial too, the channel is that note's.)
        others = {n.pitch - low for n in self._active.values()}
        if any(slot + o < self._grid.count and now.item(slot + o) > now.item(slot)
               and not any(slot + o - d in others for d in (0, *PARTIAL_STEPS))
               for o in self._grid.offsets[1:4]):
            return False
        lag = math.ceil(LAG_CONSTANTS * time_constant(float(self._grid.frequencies[slot])) / self._seconds - 1e-9)
        # The channel's level before the onset (the loudest of as many frames, for a noise
        # floor flickers) and after it.
        back = self._frame - onset
        if back + lag >= len(self._levels) or back < lag:
            return False
        level = [self._levels[-1 - k].item(slot) for k in range(back + lag, back - lag - 1, -1)]
        before, after = max(level[:lag]), max(level[lag:])
        # Only a quick attack, which its channel places within a few time constants: a bowed
        # or sung note's own channel grows slowly, its partials first.
        start = self._frame - traced + 1
        quick = start <= lag + 1 and start < len(self._levels) and (
            now.item(slot) >= self._levels[-1 - start].item(slot) * 10.0 ** (ATTACK_DB / 20.0))
        return (quick and now.item(slot) >= before * 10.0 ** (ATTACK_DB / 20.0)
                and after < before * 10.0 ** (FLOOR_RISE_DB / 20.0))

    def _sounding_below(self, index: int) -> tuple[_Note, tuple[int, int]] | None:
        """The highest lower note that began before this frame, still holds its level and has the
        note on one of its partials, and the semitones of its partials beside the note's; None
        if there is no such note."""
        pitch = index + self._grid.low
        for h in range(2, PARTIALS + 1):
            d = round(12 * math.log2(h))
            if index - d < 0:
                break
            lower = self._active.get(pitch - d)
            # One already let go no longer feeds the note's channel.
            if lower is not None and lower.onset_frame < self._frame and self._release(lower) >= self._frame:
                base = index - d
                under, over = base + round(12 * math.log2(h - 1)), base + round(12 * math.log2(h + 1))
                return lower, (under, over if over < self._grid.count else under)
        return None

    def _floor_onset(self, index: int, reach: int | None = None, beside: tuple[int, int] | None = None,
                     swing: bool = False) -> int | None:
        """The frame where the note's own level began to rise from its floor (or from where a
        sound before it left off, or where its level had held for `PLATEAU_SECONDS`), within the
        frames an onset may lie in (or the last `reach` frames before this one); None if it
        hardly rose. Measured against the louder of the semitones `beside`, if given.
        Its own semitone, not its partials: the notes of a chord share partials, and a slow
        attack's steepest harmonic rise can be its neighbour's."""
        # The levels kept reach further back than an onset may lie: only the last of them count.
        width = (self._reach if reach is None else reach) + 1
        kept = self._decibels[max(0, self._block_row + 1 - width) : self._block_row + 1]
        own: list[float] = (kept[:, index] if beside is None
                            else kept[:, index] - np.maximum(kept[:, beside[0]], kept[:, beside[1]])).tolist()
        # Back from now while the level was lower, or not much higher than the lowest so far: a
        # level higher than that before the lowest is the sound that the note follows.
        first = len(own) - 1
        lowest = own[first]
        # ... but not through a level held: where the last `_plateau` frames walked lay within
        # `FLOOR_SLACK_DB` of each other, `ATTACK_DB` under it now, that was the floor (a sound
        # before it, or its leak, growing slowly as a note before swells), and a deeper level
        # before it is older still. (Not where a chord's note is traced back as far as the delay
        # allows: a slow attack's low notes grow in steps as they beat with each other.)
        plateau = self._plateau if reach is None else len(own) + 1
        held, under = len(own) - plateau, own[-1] - ATTACK_DB  # (read once: the walk is hot)
        while first > 0 and own[first - 1] <= lowest + FLOOR_SLACK_DB:
            if (first <= held and own[first] < under
                    and max(own[first : first + plateau]) - min(own[first : first + plateau]) <= FLOOR_SLACK_DB):
                break
            first -= 1
            lowest = min(lowest, own[first])
        if swing:
            first, lowest = self._swung(index, own, first, lowest)
        if own[-1] - lowest < FLOOR_RISE_DB:
            return None
        # The last frame still near the floor; the rise began after it, or, when that is the
        # oldest frame kept, at the oldest frame an onset may lie in.
        bar = lowest + FLOOR_SHARE * (own[-1] - lowest)
        last = max(i for i in range(first, len(own)) if own[i] <= bar)
        return self._frame - (len(own) - 1) + (last + 1 if last else 0)

    def _tones(self, levels: npt.NDArray[np.float64]) -> npt.NDArray[np.bool_]:
        """Where the levels (frames, semitones) stand out as tones on both sides: above the
        semitone two away by a tone's fall there, or, where the one between is lower than that (a
        tone of its own two away: a note of the chord before, still fading, a tone from this one),
        above the one between by a tone's fall a semitone away. A thump is flat, and the skirt of
        a tone rises toward it."""
        wider = np.pad(levels, ((0, 0), (2, 2)))
        tonal = np.ones(levels.shape, dtype=bool)
        for far, near in ((wider[:, :-4], wider[:, 1:-3]), (wider[:, 4:], wider[:, 3:-1])):
            tonal &= (levels >= self._tone * far) | ((near < far) & (levels >= self._tone_next * near))
        return tonal

    def _heard_first(self, index: int, traced: int | None, reach: int | None = None,
                     swing: bool = False) -> int | None:
        """The onset `traced` from the note's own level, or where its second partial's level began
        to rise, traced alike, up to half a decision window before: a pipe or a voice speaks in
        its partials first, and their channels settle faster than the fundamental's. Or where a
        chord's note an octave up that ended undecided began, within as far back as `reach`."""
        if traced is None or index + 12 >= self._grid.count:
            return traced
        partial = self._floor_onset(index + 12, reach, swing=swing)
        traced = partial if partial is not None and traced - self._window // 2 <= partial < traced else traced
        # A chord's note an octave up that fell away before it was decided, as this one grew, was
        # its second partial heard first: a pipe or a bowed string speaks in its octave. (Not
        # while a note sounds there again: the partial is that note's now.)
        octave = self._grid.low + index + 12
        spoke = None if octave in self._active else self._unsaid.get(octave)
        if spoke is not None and self._frame - (self._reach if reach is None else reach) <= spoke < traced:
            return spoke
        return traced

    def _swung(self, index: int, own: list[float], first: int, lowest: float) -> tuple[int, float]:
        """(first, lowest) of a held chord's note's rise traced back over a swing: where the
        frames before the trace's floor came from a floor `FLOOR_RISE_DB` deeper, the note had
        risen from there and dipped (the notes of a chord beat with each other, a choir's voices
        drift apart), unless a note of its pitch ended since: that is the sound it follows."""
        ended = self._ended.get(self._grid.low + index)
        begin = 0 if ended is None else max(0, ended - (self._frame - (len(own) - 1)))
        if first <= begin:
            return first, lowest
        deepest = min(range(begin, first), key=own.__getitem__)
        # ... and had come within `ATTACK_DB` of its level now: a floor's flicker is no rise.
        if own[deepest] > lowest - FLOOR_RISE_DB or max(own[deepest:first]) < own[-1] - ATTACK_DB:
            return first, lowest
        return deepest, own[deepest]

    def _restrike(self, index: int, note: _Note) -> int | None:
        """The frame of a new attack of a sounding note, once it is certain: the frame that the
        decision window starts with holds the window's strongest rise, and the note's strength,
        which had fallen `RESTRIKE_DB` below its peak before that frame, grew as much again; or
        a plucked or struck note was struck again there (`_fresh_attack`)."""
        if len(self._rises) < self._window + 2 or not self._peaked[index]:
            return None
        candidate = self._frame - self._window
        slot = self._struck[index]
        # (Its own level must have risen since, for a fresh attack: looked at first, at once.)
        if (self._window_loudest.item(slot) >= self._levels[-2 - self._window].item(slot) * self._SLACK
                and self._fresh_attack(index, note, candidate) and not self._notched(slot)):
            return candidate
        # (A key let go and struck again at once: the window's strongest rise, as below.)
        if (self._later_rise.item(index) <= self._rises[len(self._rises) - self._window - 1].item(index)
                and self._struck_again(index, note, candidate)):
            return candidate
        if candidate <= max(note.onset_frame, note.settled) + self._window:
            return None
        before = self._strengths[0].item(slot)
        if before > note.grouped * self._RESTRIKE_FALL:
            return None
        # A vibrato or a glide that took the pitch between two channels lowered both: the level
        # the note fell to is the tone's, read from the two.
        before = max(before, self._between(self._levels[-2 - self._window], slot))
        if before > note.grouped * self._RESTRIKE_FALL:
            return None
        # The frame that the decision window starts with: the second of the last `_window` + 2.
        rise = self._rises[len(self._rises) - self._window - 1].item(index)
        if rise <= 0 or self._later_rise.item(index) > rise:
            return None
        after = self._window_loudest.item(slot)
        needed = 10.0 ** ((RESTRIKE_DB + self._swing(note, candidate)) / 20.0)
        if after < before * needed:
            return None
        if self._neighbour_began(note, candidate):
            # The attack of a note a tone or a semitone away is a broadband transient that
            # spills into the semitones round it: the note's own semitone must rise as much.
            own = [self._levels[-1 - k].item(slot) for k in range(self._window + 2)]
            if max(own[:-1]) < own[-1] * needed:
                return None
        if not self._lifted[index] and self._settling(note, candidate):
            return None
        # (The partials' channels settle faster than the fundamental's, and lead it.)
        since = candidate - 1 - self._lags[index]
        if self._notched(slot) or not self._renewed(index, since, since):
            return None
        # ... and for a decided note, its partials fell with it into the frame before the rise.
        if self._frame - note.onset_frame > self.delay_frames and not self._shared_dip(index, candidate - 1):
            return None
        return candidate

    def _between(self, row: npt.NDArray[np.float64], slot: int) -> float:
        """The level of a tone round the semitone `slot` in the frame `row` of levels, wherever
        its pitch lies between the channels of `slot` and a semitone beside it: a vibrato or a
        glide half a semitone off reads about 13 dB low in both channels it lies between, where
        a bow change or a breath fades the tone in its own. It is taken as a quarter of a
        semitone or more off its channels only where its second partial lies as far off its
        own, between the channels to the same side: a pitch moves all its partials alike, while
        the transient of a strike or the noise round a damped string lifts the channels beside
        it at random."""
        widths = self._widths
        if widths is None:
            return 0.0
        count = self._grid.count
        best = 0.0
        for k in range(max(1, slot - 1), min(count - 2, slot + 1)):
            # The tone between the semitones k and k + 1.
            first, second = self._position(row, k), self._position(row, k + 12) if k + 14 < count else None
            if first is None or second is None or not (0.25 <= first <= 0.75 and 0.25 <= second <= 0.75):
                continue
            # ... each a peak of its own (a transient lifts the channels round it alike), the
            # partial heard (within `LOWER_SPAN_DB` of the fundamental).
            if (row.item(k + 12) < row.item(k) * 10.0 ** (-LOWER_SPAN_DB / 20.0)
                    or any(max(row.item(j - 1), row.item(j + 2)) >= min(row.item(j), row.item(j + 1))
                           for j in (k, k + 12))):
                continue
            near, off = (k, first) if first <= 0.5 else (k + 1, 1.0 - first)
            best = max(best, row.item(near) * (1.0 + widths[near] ** 2 * off ** 2))
        return best

    def _position(self, row: npt.NDArray[np.float64], k: int) -> float | None:
        """Where between the semitones `k` and `k` + 1 (0 to 1) a tone read in their channels
        lies; None where neither is heard. Each channel reads a tone detuned by d semitones at
        1 / (1 + (w·d)²) of its level (two smoothings of width w = 2π·τ·f per semitone, to first
        order), so from the ratio R of the louder reading to the other, at d from the louder,
        w²·((1 - d)² - R·d²) = R - 1."""
        low, high = row.item(k), row.item(k + 1)
        if max(low, high) <= SILENCE or self._widths is None:
            return None
        square = self._widths[k] ** 2
        ratio = max(low, high) / max(min(low, high), SILENCE)
        if ratio >= 1.0 + square:  # as far below as a tone in tune puts it, or further
            detuned = 0.0
        elif ratio <= 1.0:
            detuned = 0.5
        else:
            # (R - 1)·w²·d² + 2·w²·d + (R - 1 - w²) = 0, its root in [0, 1/2]
            a, b, c = (ratio - 1.0) * square, 2.0 * square, ratio - 1.0 - square
            detuned = (-b + math.sqrt(b * b - 4.0 * a * c)) / (2.0 * a)
        return detuned if low >= high else 1.0 - detuned

    def _rings_on(self, index: int, note: _Note, candidate: int) -> bool:
        """Whether `note` was struck and left to ring up to the frame `candidate` (see
        `_left_to_ring`), while its own level now stands no `FLOOR_SLACK_DB` above where it rang
        in the decision window before: the dip of its partials' level was their faster decay, or
        another sound's attack or beating among them. A new strike lifts the string's own level
        above what still rang."""
        if not self._left_to_ring(index, note, candidate):
            return False
        level = note.history[max(0, candidate - self._window - note.first) : candidate - note.first]
        return bool(note.history[-1] < max(level) * self._SLACK)

    def _left_to_ring(self, index: int, note: _Note, until: int, beating: bool = False) -> bool:
        """Whether `note` was struck and left to ring up to the frame `until`: at its loudest
        within the frames an onset may lie in after its onset, decaying since at
        `STRUCK_DB_PER_SECOND` at least and (unless `beating`: a piano's strings of one key beat)
        never coming back `FLOOR_SLACK_DB`, for more than a decision window."""
        begin = max(note.onset_frame, note.settled)
        start = max(begin, note.first)
        level = note.history[start - note.first : until - note.first]
        if len(level) <= self._window:
            return False
        top = level.index(max(level))
        if start + top > begin + self._reach or len(level) - top <= self._lags[index]:
            return False
        lowest = level[top]
        for value in level[top:] if not beating else ():
            if value > lowest * self._SLACK:
                return False
            lowest = min(lowest, value)
        fall = STRUCK_DB_PER_SECOND * (len(level) - 1 - top) * self._seconds / 20.0
        if fall > 300.0:
            # Held for over ten minutes (a few frames at a hop of minutes): a fall past the
            # floats' range, compared as powers of ten.
            return not level[-1] or math.log10(level[top]) - math.log10(level[-1]) >= fall
        return bool(level[top] >= level[-1] * 10.0 ** fall)

    def _neighbour_began(self, note: _Note, candidate: int) -> bool:
        """Whether another note a semitone or a tone from `note` began within a decision window
        of the frame `candidate`."""
        return any(0 < abs(other.pitch - note.pitch) <= 2 and abs(other.onset_frame - candidate) <= self._window
                   for other in self._active.values())

    def _renewed(self, index: int, first: int, last: int) -> bool:
        """Whether the note's partials over its fundamental that are heard (within
        `LOWER_SPAN_DB` of it) rose too, by `FLOOR_SLACK_DB` (weighted by their levels), from
        their lowest in the frames `first` to `last` to their loudest since: a new bow stroke,
        breath or strike renews the whole tone, while where two voices of a pitch beat, or a
        voice moves through a formant, its fundamental swings on its own. (A tone with no such
        partials passes, where the channels are wider than a semitone only if its fundamental rose
        so.)"""
        grid, levels = self._grid, self._levels
        first = max(first, self._frame - len(levels) + 1)
        if first > last or last >= self._frame:  # nothing to judge it by, before or since
            return True
        before = [levels[-1 - self._frame + f] for f in range(first, last + 1)]
        after = [levels[-1 - self._frame + f] for f in range(last + 1, self._frame + 1)]
        fundamental = max(r.item(index) for r in after)
        weighted = total = 0.0
        for offset, weight in zip(grid.offsets[1:], grid.weights[1:]):
            slot = index + offset
            if slot >= grid.count:
                break
            new = max(r.item(slot) for r in after)
            if new < fundamental * 10.0 ** (-LOWER_SPAN_DB / 20.0):
                continue
            share = weight * new
            # (A partial as silent as a fundamental heard only through its partials is no
            # number of dB; its share is none.)
            weighted += share * 20.0 * math.log10(max(new, SILENCE) / max(min(r.item(slot) for r in before), SILENCE))
            total += share
        if total <= 0 and (self._wide[index] or grid.frequencies[index] < WEAK_FUNDAMENTAL_HZ):
            # A low tone with no such partials: where the channels are wider than a semitone,
            # their level is the leak of the tone and of an offset or rumble, which beat on their
            # own; a new stroke lifts its fundamental.
            return bool(fundamental >= min(r.item(index) for r in before) * 10.0 ** (FLOOR_SLACK_DB / 20.0))
        return total <= 0 or weighted >= FLOOR_SLACK_DB * total

    def _notched(self, slot: int) -> bool:
        """Whether the level round the semitone `slot` fell, in the frames before a restrike's
        decision window, faster than its channels ring down (by `FLOOR_SLACK_DB` more): a note let
        go fades in the channel at its time constant, while the partials of a chord or of a
        section that beat cancel each other in a brief notch, no fall at all."""
        levels, back = self._levels, self._window + 2
        fade = math.exp(-self._seconds / time_constant(float(self._grid.frequencies[slot]))) / self._SLACK
        lo, hi = max(0, slot - 1), min(self._grid.count, slot + 2)
        bound = 0.0
        for k in range(min(self._lags[slot] + self._window, len(levels) - back), -1, -1):
            level = float(levels[-back - k][lo:hi].max())
            if level < bound * fade:
                return True
            bound = max(bound * fade * self._SLACK, level)
        return False

    def _dip_notched(self, index: int, bottom: int) -> bool:
        """Whether the note's partials' level (see `_dips`) fell into the dip that bottomed out at
        the frame `bottom` faster than their channels ring down (by `FLOOR_SLACK_DB` more): a
        notch where its partials beat with another sound's, as in `_notched`."""
        grid = self._grid
        rate = 0.0
        for offset, weight in zip(grid.offsets, grid.weights):
            if index + offset >= grid.count:
                break
            rate += weight * 20.0 / math.log(10.0) * self._seconds / time_constant(
                float(grid.frequencies[index + offset]))
        rate /= sum(grid.weights)
        end = self._row - (self._frame - bottom)
        level: list[float] = self._partials[max(0, end - self._reach) : end + 1, index].tolist()
        bound = -math.inf
        for value in level:
            if value < bound - rate - FLOOR_SLACK_DB:
                return True
            bound = max(bound - rate, value)
        return False

    def _fresh_attack(self, index: int, note: _Note, candidate: int) -> bool:
        """Whether a plucked or struck note was struck again at the frame `candidate`: a strike
        renews its partials, the upper ones most, which decay fastest, though the fundamental
        may hardly rise over what still rings. So: its partials rose by `RESTRIKE_DB` (weighted
        by level, as for an attack) over the `LAG_CONSTANTS` time constants of its channel from
        `candidate`, the strongest harmonic rise there (or those over the fundamental did, where
        none was heard within `LOWER_SPAN_DB` of it before); its own level rose `FLOOR_SLACK_DB`; the
        note was struck (at its loudest within the frames an onset may lie in after its onset)
        and has only decayed since, as a string left to ring does (by `FLOOR_SLACK_DB` at most
        it came back: no vibrato, no beating); and no other note that began then has a partial
        among its own. A note not yet decided may still be in its attack, which a bowed or blown
        note may swell through again: its partials rose `STRIKE_SHARE` of that within
        `STRIKE_SECONDS`."""
        grid = self._grid
        lag = self._lags[index]
        back = self._frame - candidate  # frames from the candidate to now
        begin = max(note.onset_frame, note.settled)
        if back + 1 >= len(self._levels) or back <= lag or candidate - begin <= lag or note.first < 0:
            return False
        # The fundamental rises a little (a note let go, or fading under the next, goes on
        # falling; a new note's partials on this note's leave its own channel where it was).
        slot = self._struck[index]
        levels = self._levels
        floor = levels[-2 - back].item(slot) * self._SLACK
        rises = self._rises
        rise = rises[len(rises) - 1 - back].item(index)
        if rise <= 0:
            return False
        for k in range(lag + 1):
            if levels[-1 - back + k].item(slot) >= floor:
                break
        else:
            return False
        if any(rises[len(rises) - 1 - back + k].item(index) > rise for k in range(1, lag + 1)):
            return False
        # The partials' rise, weighted by their levels once risen.
        old, new = levels[-2 - back], levels[-1 - back + lag]
        weighted = total = 0.0
        upper = upper_total = 0.0  # ... and of those over the fundamental alone
        ringing = old.item(slot) * 10.0 ** (-LOWER_SPAN_DB / 20.0)  # ... which none was heard near
        pure = True
        for offset, weight in zip(grid.offsets, grid.weights):
            part = index + offset
            if part >= grid.count:
                break
            share = weight * new.item(part)
            gain = share * 20.0 * math.log10(max(new.item(part), SILENCE) / max(old.item(part), SILENCE))
            weighted += gain
            total += share
            if offset:
                upper += gain
                upper_total += share
                pure = pure and old.item(part) < ringing
        # A string that rang long enough for its partials over the fundamental to die (none within
        # `LOWER_SPAN_DB` of it) is a pure tone that outweighs them: their rise alone is its strike.
        whole = total > 0 and weighted >= RESTRIKE_DB * total
        if not whole and (not pure or upper_total <= 0 or upper < RESTRIKE_DB * upper_total):
            return False
        # A note not yet decided may still be in its attack, and a bowed or blown attack may
        # swell again after its first peak, over several time constants; a new strike renews
        # the partials at once, at the pace of their channels, which settle faster than the
        # fundamental's.
        if candidate - note.onset_frame <= self.delay_frames:
            early = min(lag, max(1, round(STRIKE_SECONDS / self._seconds))) - 1
            soon = levels[-1 - back + early]
            # (Of the partials over the fundamental alone, where their rise alone was the strike.)
            risen = 0.0
            for offset, weight in zip(grid.offsets, grid.weights):
                part = index + offset
                if part >= grid.count:
                    break
                if offset or whole:
                    risen += weight * new.item(part) * 20.0 * math.log10(
                        max(soon.item(part), SILENCE) / max(old.item(part), SILENCE))
            if risen < STRIKE_SHARE * (weighted if whole else upper):
                return False
        # Struck: at its loudest soon after its onset, and decaying since.
        start = max(begin, note.first)
        level = note.history[start - note.first : candidate - note.first]
        if not level:
            return False
        top = level.index(max(level))
        if start + top > begin + self._reach or len(level) - top < lag:
            return False
        lowest = level[top]
        for value in level[top:]:
            if value > lowest * 10.0 ** (FLOOR_SLACK_DB / 20.0):
                return False
            lowest = min(lowest, value)
        # ... to which it rose once: a level that fell `FLOOR_SLACK_DB` on the way up and rose
        # again swung, as a bowed or sung note's does.
        highest = level[0]
        for value in level[:top]:
            if value < highest * 10.0 ** (-FLOOR_SLACK_DB / 20.0):
                return False
            highest = max(highest, value)
        # ... slowly, as a string left to ring: not yet `RESTRIKE_DB` (a deeper fall and rise is
        # a restrike as for any note), yet at `STRUCK_DB_PER_SECOND` at least.
        fall = level[top] / max(level[-1], SILENCE)
        if fall >= 1.0 / self._RESTRIKE_FALL or fall < 10.0 ** min(
                STRUCK_DB_PER_SECOND * (len(level) - 1 - top) * self._seconds / 20.0, 300.0):
            return False
        # A note that began with it on these partials raised them.
        own = {index + o for o in grid.offsets}
        low = grid.low
        return not any(other.pitch != note.pitch and abs(other.onset_frame - candidate) <= lag
                       and own.intersection(other.pitch - low + o for o in grid.offsets)
                       for other in self._active.values())

    def _struck_again(self, index: int, note: _Note, candidate: int) -> bool:
        """Whether a decided note was let go and struck again at the frame `candidate` with no
        rest between (a key or a string played again in legato): the damper stops every partial
        and the new attack renews at once those that rang, though what still rings of the old
        sound hides much of their rise, and its fundamental's. So, each channel read over
        `LAG_CONSTANTS` of its own time constants from `candidate` (no further: the next note's
        attack may follow soon): its fundamental did not fall, or rose `FLOOR_SLACK_DB` out of
        the fall it was still in (a low channel rings down slowly after the damper); the
        semitones on both sides of it rose `RESTRIKE_DB`, and `FLOOR_SLACK_DB` further than the
        fundamental did, with no note sounding a semitone or a tone away (an attack is a
        broadband transient, while a vibrato moves the tone to one side, a swell lifts the
        skirts with it, and a neighbour's attack spills there too); and its partials over the
        fundamental that were heard (within `LOWER_SPAN_DB` of it) and lie on no partial of
        another sounding note rose out of the lowest they fell to, most of them by
        `DIP_FLOOR_DB` each, and by as much (weighted by level) further than the note swung
        before."""
        grid, levels = self._grid, self._levels
        back = self._frame - candidate
        if (back + 1 >= len(levels) or candidate < max(note.onset_frame, note.settled) + self.delay_frames
                or index < 1 or index + 1 >= grid.count
                or any(0 < abs(other.pitch - note.pitch) <= 2 for other in self._active.values())):
            return False
        old = levels[-2 - back]

        def risen(part: int) -> float:
            return max(levels[k - 1 - back].item(part) for k in range(min(self._lags[part], back) + 1))

        def renewed(part: int) -> float:
            # (Out of the lowest it fell to: a channel may still be falling from the damper as
            # the new attack begins, the slower the lower.)
            span = [levels[k - 2 - back].item(part) for k in range(min(self._lags[part], back) + 2)]
            bottom = span.index(min(span))
            return 20.0 * math.log10(max(max(span[bottom:]), SILENCE) / max(span[bottom], SILENCE))

        slot = self._struck[index]
        rise = risen(slot) / max(old.item(slot), SILENCE)
        if rise < 1.0 and renewed(slot) < FLOOR_SLACK_DB:
            return False
        least = max(self._RESTRIKE_RISE, rise * self._SLACK)
        if any(risen(side) < old.item(side) * least for side in (index - 1, index + 1)):
            return False
        low = grid.low
        shared = {other.pitch - low + o for other in self._active.values() if other is not note for o in grid.offsets}
        heard = old.item(slot) * 10.0 ** (-LOWER_SPAN_DB / 20.0)
        weighted = total = most = 0.0
        for offset, weight in zip(grid.offsets[1:], grid.weights[1:]):
            part = index + offset
            if part >= grid.count:
                break
            if old.item(part) < heard or part in shared:
                continue
            share = weight * risen(part)
            gain = renewed(part)
            weighted += share * gain
            total += share
            if gain >= DIP_FLOOR_DB:
                most += share
        return (total > 0 and 2.0 * most >= total
                and weighted >= (DIP_FLOOR_DB + self._swing(note, candidate)) * total)

    def _swing(self, note: _Note, until: int) -> float:
        """How far, in dB, the level of a sustained note came back up after falling since its
        attack (from a decision window after its onset to the frame `until`), less
        `DIP_SWING_DB`: a chord's notes that beat, or a choir's voices that drift apart, swing
        again and again, where a note played again rises once, further. A note heard for less
        than the frames an onset may lie in has not shown its swing; one played again swings as
        the note before it did, at least."""
        begin = max(note.onset_frame, note.settled) + self._window - note.first
        end = until - note.first
        if begin < 0 or end - begin < self._reach:
            return note.swung
        level = _decibels(np.asarray(note.history[begin:end]))
        return max(note.swung, float((level - np.minimum.accumulate(level)).max()) - DIP_SWING_DB)

    def _dips(self, above: npt.NDArray[np.float64]
              ) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.bool_], npt.NDArray[np.bool_]]:
        """Takes the log levels `above` the floor of a block's frames (frames, semitones) into
        each note's partials' level: their mean weighted as in the salience. Returns where that
        has risen `DIP_RISE_DB` above its lowest in the frames kept: what a dip needs at the
        least, found for the whole block at once; and where the note's own semitone has risen
        `DIP_RISE_DB` and its partials' level `DIP_SWING_DB` - `DIP_FLOOR_DB`: what a tongued
        dip needs; and where its octave has risen `DIP_DB` and its own semitone `DIP_SWING_DB` -
        `DIP_FLOOR_DB`: what a stopped one needs (see `_stopped`)."""
        partials = self._grid.harmonic_sum(above) / sum(self._grid.weights)
        # The last `_kept` - 1 rows before the block and the frames an onset may lie in before
        # those, or all there are: a dip's fall is looked at that far back from its bottom
        # (`_dip_notched`, `_moved`), and any chunking must see the same rows.
        back = self._kept - 1 + self._reach
        self._partials = np.concatenate([self._partials[max(0, len(self._partials) - back) :], partials])
        self._own = np.concatenate([self._own[max(0, len(self._own) - back) :], above])
        lowest = _running(self._partials, self._kept, np.minimum)[len(self._partials) - len(partials) :]
        lifted: npt.NDArray[np.bool_] = partials - lowest >= DIP_RISE_DB
        own = _running(self._own, self._kept, np.minimum)[len(self._own) - len(above) :]
        tongue = (above - own >= DIP_RISE_DB) & (partials - lowest >= DIP_SWING_DB - DIP_FLOOR_DB)
        stop = np.zeros_like(tongue)
        stop[:, :-12] = ((above[:, 12:] - own[:, 12:] >= DIP_DB)
                         & (above[:, :-12] - own[:, :-12] >= DIP_SWING_DB - DIP_FLOOR_DB))
        return lifted, tongue, stop

    def _rearticulated(self, index: int, note: _Note, stopped_only: bool = False) -> tuple[int, int] | None:
        """(onset, bottom) of a sounding note played again without a rest, as a bow change or a
        new breath does, once it is certain (see the module's notes); None if it was not. With
        `stopped_only`, only a stopped dip (`_stopped`) counts."""
        # From a decision window after the note began (or after its dip's bottom): its attack
        # is no dip.
        first = max(note.onset_frame, note.settled) + self._window
        row = max(self._row - (self._frame - first), self._row - self._kept + 1, 0)
        if row >= self._row - 1:
            return None
        first = self._frame - (self._row - row)
        level: list[float] = self._partials[row : self._row + 1, index].tolist()  # from `first` on
        lowest = min(level)
        bottom = len(level) - 1 - level[::-1].index(lowest)
        if bottom == 0:
            return None
        top = max(level[:bottom])
        peak = level.index(top)
        depth = top - lowest
        if depth > DIP_DEPTH_DB or bottom - peak > self._reach:
            return None
        risen = level[-1] - lowest
        stopped = False
        if stopped_only or (depth < DIP_DB or risen < DIP_RISE_DB) and not (
                depth >= DIP_SWING_DB and risen >= depth - DIP_FLOOR_DB
                and self._tongued(index, row, peak, bottom, depth)):
            # (Where a chord sounds, its notes' partials beat in the channels they share.)
            if (peak < 2 or depth < DIP_SWING_DB - DIP_FLOOR_DB or len(self._active) > CHORD_NOTES - 1
                    or not self._stopped(index, row, peak, bottom)):
                return None
            stopped = True
        elif risen < depth / 2.0:
            # A new stroke or breath brings the tone back near where it fell from; a note let go
            # comes back a little only, as the next note's attack spills into its partials or
            # its own ring swells once more.
            return None
        # A vibrato or the beating of a chord swings the level too: a dip goes deeper. (A stopped
        # dip is measured in its octave's channel, which falls the furthest.)
        swing = self._own[row : self._row + 1, index + 12].tolist() if stopped else level
        if stopped:
            depth = max(swing[: bottom + 1]) - min(swing[max(peak, bottom - 2) : bottom + 3])
        if peak >= 2 and depth < max(swing[:peak]) - min(swing[:peak]) + DIP_SWING_DB:
            return None
        end = max(i for i in range(bottom, len(level)) if level[i] <= lowest + DIP_FLOOR_DB)
        if level[min(end + 2, len(level) - 1)] - level[end] >= DIP_RISE_DB:
            # A quick attack (a tongued or struck note) begins where the level leaves the dip;
            # but where the note sounds alone and its level fell into the dip and turned up
            # within two frames, the old tone's release and the new attack overlapped, and the
            # level turned only once the attack outgrew that release: it had begun by the frame
            # the fall reached the bottom. (A level that sat at the bottom longer was a tail or a
            # rest the attack came out of; other notes' partials in its channels hold the level
            # up and move the turn.)
            onset = end + 1
            if len(self._active) == 1:
                start = next(i for i in range(peak, bottom + 1) if level[i] <= lowest + DIP_FLOOR_DB)
                if end - start <= 2:
                    onset = start
        else:
            # A slow one (a bow change) grows under the fading of the note before: it began
            # while the level fell, halfway down.
            onset = next(i for i in range(peak, bottom + 1) if level[i] <= (top + lowest) / 2.0)
        return max(first + onset, self._frame - self._reach), first + end

    def _moved(self, index: int, bottom: int) -> bool:
        """Whether the partials' level (see `_dips`) of the semitone to one side of the note's
        rose `DIP_RISE_DB` more than that to the other side did into the dip of the note's own
        that bottomed out at the frame `bottom`, from where that began to fall (its loudest in
        the frames an onset may lie in before): a vibrato or a glide moves all the partials by
        one ratio, out of the note's channels into those to one side, while a bow change or a
        breath fades them in their own, and the transient of the new attack lifts both sides."""
        end = self._row - (self._frame - bottom)
        begin = max(0, end - self._reach)
        if end <= begin or index < 1 or index + 1 >= self._grid.count:
            return False
        level = self._partials[begin : end + 1, index].tolist()
        peak = begin + level.index(max(level))
        near = self._partials[max(peak, end - 1) : end + 1]
        rises = [float(near[:, side].max() - self._partials[peak, side]) for side in (index - 1, index + 1)]
        return abs(rises[0] - rises[1]) >= DIP_RISE_DB and max(rises) >= DIP_RISE_DB

    def _shared_dip(self, index: int, bottom: int) -> bool:
        """Whether most of the level of the note's partials over its fundamental that are heard
        (within `LOWER_SPAN_DB` of it) dipped with it: each by `DIP_SWING_DB`, from its loudest in
        the frames an onset may lie in up to the frame `bottom` of the dip, to its lowest within
        two frames of that (weighted as in the salience). A new bow stroke or breath stops and
        renews the whole tone at once, while where the notes of a chord, or the ranks or voices
        of one note, beat, each partial beats at its own rate: the fundamental falls into a
        notch while the partials over it hold, or fall into theirs at other frames. (A tone with
        no such partials passes.)"""
        levels, grid = self._levels, self._grid
        back = self._frame - bottom
        if back < 2 or back + self._reach >= len(levels):
            return True
        span = [levels[-1 - k] for k in range(back + self._reach, back - 3, -1)]  # oldest first
        before, near = span[: self._reach + 1], span[self._reach - 2 :]
        fundamental = max(r.item(index) for r in before)
        dipped = 10.0 ** (-DIP_SWING_DB / 20.0)
        weighted = total = 0.0
        for offset, weight in zip(grid.offsets[1:], grid.weights[1:]):
            slot = index + offset
            if slot >= grid.count:
                break
            top = max(r.item(slot) for r in before)
            if top < fundamental * 10.0 ** (-LOWER_SPAN_DB / 20.0):
                continue
            share = weight * top
            if min(r.item(slot) for r in near) <= top * dipped:
                weighted += share
            total += share
        return total <= 0 or 2.0 * weighted >= total

    def _tongued(self, index: int, row: int, peak: int, bottom: int, depth: float) -> bool:
        """Whether the note's own channel, in the rows of `_own` from `row` on, fell `DIP_DB`
        further than its partials' level did (by `depth`, from the row `peak` to `bottom`), within
        two frames of that dip's bottom, and has risen `DIP_RISE_DB` since: the breath or the
        tongue stops the fundamental, while the upper partials ring through."""
        own: list[float] = self._own[row : self._row + 1, index].tolist()
        near = range(max(peak, bottom - 2), min(len(own), bottom + 3))
        low = min(near, key=own.__getitem__)
        return (max(own[: low + 1]) - own[low] >= depth + DIP_DB and own[-1] - own[low] >= DIP_RISE_DB)

    def _stopped(self, index: int, row: int, peak: int, bottom: int) -> bool:
        """Whether, in the rows of `_own` from `row` on, the note's own channel fell
        `DIP_SWING_DB` - `DIP_FLOOR_DB` and its octave's `DIP_DB`, at least as far (but neither
        more than `DIP_DEPTH_DB`: a notch), from the row `peak` to within two frames of the dip
        `bottom` of its partials' level, the octave's bottom no later than the fundamental's and
        at most two frames before it, and both have risen by as much again, less `DIP_FLOOR_DB`,
        further than either had fallen before: the tongue or the breath stops the reed or the
        lip, and every partial falls at once, the upper ones furthest and first, for their
        channels ring down fastest; then all come back together. A vibrato, a beat or a swell
        moves one partial at a time, and swings again and again."""
        if index + 12 >= self._grid.count:
            return False
        near = range(max(peak, bottom - 2), min(self._row - row + 1, bottom + 3))
        falls, lows = [], []
        for slot, least in ((index, DIP_SWING_DB - DIP_FLOOR_DB), (index + 12, DIP_DB)):
            own: list[float] = self._own[row : self._row + 1, slot].tolist()
            low = min(near, key=own.__getitem__)
            fall = max(own[peak : low + 1]) - own[low]
            if fall < least or fall > DIP_DEPTH_DB or own[-1] - own[low] < fall - DIP_FLOOR_DB:
                return False
            # A vibrato or a beat fell as far before: the channel swings, it is not stopped.
            top = -math.inf
            for value in own[:peak]:
                top = max(top, value)
                if top - value + DIP_FLOOR_DB > fall:
                    return False
            falls.append(fall)
            lows.append(low)
        return falls[1] >= falls[0] and 0 <= lows[0] - lows[1] <= 2

    def _close(self, note: _Note, end_frame: int, finished: list[NoteEvent], heard_until: int | None = None) -> None:
        """Ends `note` at `end_frame`; it is kept if it was heard (up to `heard_until`, by default
        the end) for `MIN_SECONDS` at least."""
        length = (end_frame if heard_until is None else heard_until) - note.onset_frame
        # A channel takes a few time constants to settle: a shorter note is its start's transient.
        shortest = max(MIN_SECONDS, SETTLING * time_constant(self._grid.frequencies[note.pitch - self._grid.low]))
        # A note of a chord, held to a lower floor, is one only if it still sounds when decided.
        if note.joined and self._frame - note.onset_frame <= self.delay_frames:
            return
        if length * self._seconds < shortest or not self._wanted(note.pitch):
            return
        finished.append(
            NoteEvent(
                onset=note.onset_frame * self._seconds,
                offset=end_frame * self._seconds,
                pitch=note.pitch,
                velocity=velocity(math.sqrt(note.power)),
            )
        )

    def _wanted(self, pitch: int) -> bool:
        return self._pitches is None or self._pitches[0] <= pitch <= self._pitches[1]

    def _fold(self, strength: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        # Laid out in whole octaves from a C, the pitch classes are the columns of each octave.
        before = self._grid.low % 12
        octaves = -(-(before + strength.shape[1]) // 12)
        laid = np.zeros((len(strength), 12 * octaves))
        laid[:, before : before + strength.shape[1]] = strength
        chroma = laid.reshape(len(strength), octaves, 12).sum(axis=1)
        top = chroma.max(axis=1, keepdims=True)
        folded: npt.NDArray[np.float64] = np.divide(chroma, top, out=np.zeros_like(chroma), where=top > 0)
        return folded


def _apart(pitch: int, other: int) -> bool:
    """Whether two notes may be two of a chord's: not neighbours (a transient spreads to those),
    and neither on a partial of the other."""
    return abs(pitch - other) > 2 and abs(pitch - other) not in PARTIAL_STEPS


def _beside(other: int, pitch: int) -> bool:
    """Whether a note at `other` is one of its own beside one at `pitch`: not its neighbour,
    and not under it a partial step down."""
    return abs(pitch - other) > 2 and pitch - other not in PARTIAL_STEPS


def _whole(value: object) -> bool:
    """Whether `value` is a whole number (an integer, or a float without a fraction), not a bool."""
    if isinstance(value, (bool, np.bool_)):
        return False
    if isinstance(value, (int, np.integer)):
        return True
    return isinstance(value, (float, np.floating)) and math.isfinite(value) and float(value).is_integer()


def transcribe(
    frames: npt.ArrayLike,
    numbers: npt.ArrayLike,
    sample_rate: float,
    hop: int,
    *,
    threshold_db: float = 0.0,
    pitches: tuple[int, int] | None = None,
    tuning: float = 440.0,
) -> list[NoteEvent]:
    """The note events of a whole recording's frames, in onset order."""
    tracker = NoteTracker(numbers, sample_rate, hop, threshold_db=threshold_db, pitches=pitches, tuning=tuning)
    return sorted(tracker.push(frames) + tracker.finish())


def features(
    frames: npt.ArrayLike, numbers: npt.ArrayLike, sample_rate: float, hop: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(onset strength, chroma) of a whole recording's frames: (frames,) and (frames, 12)."""
    tracker = NoteTracker(numbers, sample_rate, hop)
    tracker.push(frames)
    return tracker.onset_strength, tracker.chroma


def numbers_of(frequencies: npt.ArrayLike, tuning: float = 440.0) -> npt.NDArray[np.float64]:
    """The note numbers of channel frequencies in Hz."""
    hz = np.asarray(frequencies, dtype=np.float64)
    numbers: npt.NDArray[np.float64] = 69.0 + 12.0 * np.log2(hz / tuning)
    return numbers


def notes_of(spectrogram: FramesLike, *, threshold_db: float = 0.0) -> list[NoteEvent]:
    """The note events of a spectrogram (anything with frames, frequencies, sample_rate, hop;
    its `scale`'s numbers and tuning are used when it has a scale)."""
    scale = getattr(spectrogram, "scale", None)
    numbers = scale.numbers if scale is not None else numbers_of(spectrogram.frequencies)
    tuning = scale.tuning if scale is not None else 440.0
    return transcribe(spectrogram.frames, numbers, spectrogram.sample_rate, spectrogram.hop, threshold_db=threshold_db,
                      tuning=tuning)


def boxes(events: Iterable[NoteEvent]) -> list[tuple[float, float, float, float]]:
    """(left, bottom, width, height) of each event on axes of seconds and note numbers: the
    outline of the note on a spectrogram picture."""
    return [(e.onset, e.pitch - 0.5, e.offset - e.onset, 1.0) for e in events]


def time_constant(frequency: float) -> float:
    """The time constant of `bank_for`'s channel at `frequency` Hz, in seconds."""
    return min(PERIODS / frequency, MAX_TAU)


def bank_for(numbers: npt.ArrayLike, sample_rate: float, tuning: float = 440.0) -> marlune.ResonatorBank:
    """A bank whose channels settle fast enough for note onsets: a time constant of `PERIODS`
    periods of the channel's frequency, but never longer than `MAX_TAU`. Below about 200 Hz the
    channels are then wider than a semitone; the notes there are told apart by their partials."""
    if not 0 < sample_rate < math.inf:
        raise ValueError(f"the sample rate must be a positive number of Hz, not {sample_rate}")
    freqs = np.array([marlune.midi_to_hz(float(n), tuning) for n in np.asarray(numbers).ravel()], dtype=np.float32)
    if not (np.isfinite(freqs) & (freqs > 0)).all():
        raise ValueError("every channel needs a finite frequency above 0 Hz; check the note numbers and tuning")
    taus = [time_constant(float(f)) for f in freqs]
    alphas = np.array([marlune.alpha_from_tau(float(tau), sample_rate) for tau in taus], dtype=np.float32)
    return marlune.ResonatorBank(freqs, sample_rate, alphas=alphas)


PERIODS = 10.0
MAX_TAU = 0.05  # s
