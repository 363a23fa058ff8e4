#include "SoundWriterMultiFile.h"

#include "SoundReader.h"
#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <QDebug>
#include <QString>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

namespace {

bool isPrefixChar(char c)
{
    return (c >= '0' && c <= '9') || c == '_' || c == '-' || c == ' ';
}

// write() of the segment writers is protected in SoundWriter, and C++ lets a
// derived class reach a protected member of another object only through its
// own type. A pointer to the member, named through this class, is the
// standard way to call it on the base type.
struct SegmentAccess : SoundWriter {
    static unsigned callWrite(SoundWriter* writer, unsigned frames, double* data)
    {
        unsigned (SoundWriter::*writeFrames)(unsigned, double*) = &SegmentAccess::write;
        return (writer->*writeFrames)(frames, data);
    }
};

/// True when a segment writer made by the factory failed to complete its file.
bool failedAtClose(const SoundWriter* writer)
{
    if (auto* sndfile = dynamic_cast<const SoundWriterSndfile*>(writer))
        return sndfile->closeFailed();
    if (auto* mp3 = dynamic_cast<const SoundWriterMp3*>(writer))
        return mp3->closeFailed();
    return false;
}

} // namespace

SoundWriterMultiFile::SoundWriterMultiFile(SoundRegionList* d, double minSeconds, unsigned rate, unsigned channelCount,
                                           unsigned kbps, SoundTools::SoundFormat sampleFormat)
    : SoundWriter(rate)
    , region{0, 0, 0.0, 0.0, 0, false}
    , channels(channelCount)
    , bitrate(kbps)
    , detector(d)
    , minDuration(minSeconds)
    , format(sampleFormat)
{
    if (detector != nullptr) {
        detector->getRegionOwner().addReference();
        if (detector->size() > 0)
            region = detector->getRegion(0);
    }
}

SoundWriterMultiFile::~SoundWriterMultiFile()
{
    if (detector != nullptr)
        detector->getRegionOwner().releaseReference();
    // An unfinished file is completed by its writer but not counted.
    if (segment != nullptr && segmentFiles != nullptr) {
        segment->close();
        segmentFiles->closed(segmentName, segmentPath, false);
    }
    delete segment;
    if (sVerbose)
        getOStream() << SoundReader::formatLength(sampleRate != 0 ? double(totalFrames) / sampleRate : 0.0)
                     << " in " << segmentCounter - 1 << " file(s) written" << std::endl;
}

const char* SoundWriterMultiFile::getError() const
{
    return segment != nullptr ? segment->getError() : SoundWriter::getError();
}

SoundTools::Status SoundWriterMultiFile::open(const char* path)
{
    PathParts parts;
    parts.fullPath = path != nullptr ? path : "";
    std::string full = parts.fullPath;
    std::replace(full.begin(), full.end(), '\\', '/');

    std::string rest = full;
    const size_t colon = full.find(':');
    if (colon != std::string::npos) {
        parts.drive = full.substr(0, colon);
        rest = full.substr(colon + 1);
    }
    std::string name = rest;
    const size_t slash = rest.rfind('/');
    if (slash != std::string::npos) {
        // A file in a root folder keeps that folder: "/x.wav" gives
        // "/001-x.wav", not a name that starts with the slash.
        std::string directory = rest.substr(0, slash + 1);
        while (directory.size() > 1 && directory.back() == '/')
            directory.pop_back();
        parts.directory = directory;
        name = rest.substr(slash + 1);
    }
    if (!name.empty()) {
        const size_t point = name.rfind('.');
        if (point != std::string::npos) {
            parts.extension = name.substr(point + 1);
            parts.baseName = name.substr(0, point);
        } else {
            parts.baseName = name;
        }
    }
    pathParts = parts;
    if (pathParts.baseName.empty()) {
        setError("no file name to number the segment files after", pathParts.fullPath.c_str());
        return SoundTools::StatusError;
    }
    if (channels != 2) {
        setError("segment files are stereo; the input must have 2 channels", pathParts.fullPath.c_str());
        return SoundTools::StatusError;
    }
    return SoundTools::StatusOk;
}

std::string SoundWriterMultiFile::getSegmentName(int number) const
{
    std::string name;
    if (!pathParts.drive.empty())
        name += pathParts.drive + ":";
    name += pathParts.directory;
    const std::string& base = pathParts.baseName;
    if (!base.empty()) {
        if (!pathParts.directory.empty() && pathParts.directory.back() != '/')
            name += '/';
        size_t prefixLength = 0;
        while (prefixLength < base.size() && isPrefixChar(base[prefixLength]))
            ++prefixLength;
        if (prefixLength > 0) {
            name += base.substr(0, prefixLength);
            const char last = base[prefixLength - 1];
            if (last >= '0' && last <= '9')
                name += '-';
        }
        std::ostringstream numberText;
        numberText << std::setw(3) << std::setfill('0') << number;
        name += numberText.str() + "-" + base.substr(prefixLength);
    }
    if (!pathParts.extension.empty())
        name += "." + pathParts.extension;
    return name;
}

void SoundWriterMultiFile::setTags(const SoundIDTag& tag)
{
    tags = tag;
}

unsigned SoundWriterMultiFile::getChannelNum() const
{
    return channels;
}

double SoundWriterMultiFile::getGainDb() const
{
    return pathParts.baseName.empty() ? 0.0 : SoundWriter::gainDbFor(getSegmentName(segmentCounter).c_str());
}

int SoundWriterMultiFile::GetWrittenFiles() const
{
    return segmentCounter - 1;
}

SoundTools::Status SoundWriterMultiFile::OpenSegment()
{
    if (segment != nullptr)
        close();
    std::string name;
    if (!pathParts.baseName.empty()) {
        name = getSegmentName(segmentCounter);
        pathParts.fullPath = name;
    }
    segment = name.empty() ? nullptr : SoundWriter::getFromFilename(name.c_str(), sampleRate, bitrate, format);
    if (segment == nullptr) {
        setError("no writer for this segment file name", name.empty() ? pathParts.fullPath.c_str() : name.c_str());
        return SoundTools::StatusError;
    }
    segment->setFileChannels(fileChannels);
    segment->setDither(dither);
    const bool tagged = !tags.title.empty() || !tags.artist.empty() || !tags.album.empty() || !tags.year.empty()
        || !tags.comment.empty() || !tags.track.empty() || !tags.genre.empty();
    if (tagged) {
        tags.track = std::to_string(segmentCounter);
        // The MP3 encoder takes its tags before open, libsndfile only on an
        // open file: hand them over on both sides of open.
        segment->setTags(tags);
    }
    hasSound = false;
    segmentFrames = 0;
    segmentName = name;
    segmentPath = segmentFiles != nullptr ? segmentFiles->openPath(name) : name;
    const SoundTools::Status status = segment->open(segmentPath.c_str());
    if (status == SoundTools::StatusOk && segment->getChannelNum() != channels) {
        setError("segment files are stereo; the input must have 2 channels", name.c_str());
        segment->close();
        if (segmentFiles != nullptr)
            segmentFiles->closed(segmentName, segmentPath, false);
        delete segment;
        segment = nullptr;
        return SoundTools::StatusError;
    }
    if (status != SoundTools::StatusOk) {
        // A file that was never opened is not counted as written; its reason
        // stays readable after the writer is gone.
        setError(segment->getError(), nullptr);
        if (segmentFiles != nullptr)
            segmentFiles->closed(segmentName, segmentPath, false);
        delete segment;
        segment = nullptr;
        return SoundTools::StatusError;
    }
    if (tagged)
        segment->setTags(tags);
    return status;
}

bool SoundWriterMultiFile::setFileChannels(unsigned count)
{
    if (count > channels)
        return false;
    fileChannels = count;
    return true;
}

void SoundWriterMultiFile::close()
{
    closeSegment();
}

bool SoundWriterMultiFile::closeSegment()
{
    if (segment == nullptr)
        return true;
    const unsigned rate = segment->getSampleRate();
    if (sVerbose)
        getOStream() << "File " << segmentCounter << " : "
                     << SoundReader::formatLength(rate != 0 ? double(segmentFrames) / rate : 0.0) << " written"
                     << std::endl;
    totalFrames += static_cast<unsigned>(segmentFrames);
    segment->close();
    clipped += segment->getClippedSamples();
    const bool failed = failedAtClose(segment);
    if (failed) {
        segmentCloseFailed = true;
        setError(segment->getError(), nullptr);
    }
    if (segmentFiles != nullptr)
        segmentFiles->closed(segmentName, segmentPath, !failed);
    delete segment;
    segment = nullptr;
    ++segmentCounter;
    return !failed;
}

int64_t SoundWriterMultiFile::runLength(int64_t* lastFrame) const
{
    int64_t length = region.length;
    int64_t last = int64_t(region.start) + region.length - 1;
    const int regionCount = detector->size();
    for (int i = regionIndex; i < regionCount; ++i) {
        const SoundRegion next = detector->getRegion(i);
        if (next.isNoise)
            break;
        length += next.length;
        last = int64_t(next.start) + next.length - 1;
    }
    *lastFrame = last;
    return length;
}

unsigned SoundWriterMultiFile::write(unsigned frames, double* data)
{
    if (detector == nullptr || segmentCloseFailed)
        return 0;
    int64_t pos = int64_t(rangeStart) + written;
    unsigned consumed = 0;
    while (consumed < frames) {
        const unsigned remaining = frames - consumed;
        int64_t n = std::min<int64_t>(remaining, int64_t(region.start) + region.length - pos);
        if (n <= 0) {
            if (regionIndex >= detector->size()) {
                n = remaining;
            } else {
                region = detector->getRegion(regionIndex);
                ++regionIndex;
                continue;
            }
        }
        double* chunk = data + size_t(consumed) * channels;
        unsigned taken = static_cast<unsigned>(n);

        if (region.isNoise) {
            if (!closeSegment())
                return consumed;
        } else {
            bool dropped = false;
            if (segment == nullptr) {
                int64_t lastFrame = 0;
                const int64_t length = runLength(&lastFrame);
                if (minDuration > double(length) / sampleRate) {
                    dropped = true;
                } else {
                    if (OpenSegment() != SoundTools::StatusOk)
                        return consumed;
                    if (sDebug)
                        qDebug().noquote() << QString("Output track [%1,%2]")
                                                  .arg(QString::fromStdString(
                                                      SoundReader::formatLength(double(pos) / sampleRate)))
                                                  .arg(QString::fromStdString(
                                                      SoundReader::formatLength(double(lastFrame) / sampleRate)));
                }
            }
            if (!dropped) {
                unsigned first = 0;
                if (!hasSound) {
                    // A frame is silent when both samples are zero, whatever
                    // their sign.
                    while (first < taken && chunk[size_t(first) * channels] == 0.0
                           && chunk[size_t(first) * channels + 1] == 0.0)
                        ++first;
                }
                if (first < taken) {
                    hasSound = true;
                    const unsigned toWrite = taken - first;
                    const unsigned w = SegmentAccess::callWrite(segment, toWrite, chunk + size_t(first) * channels);
                    if (w != toWrite) {
                        segmentFrames += first + w;
                        consumed += first + w;
                        return consumed;
                    }
                }
                segmentFrames += taken;
            }
        }
        consumed += taken;
        pos += taken;
    }
    return consumed;
}
