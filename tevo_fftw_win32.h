#pragma once

// Umbrella header of the tevo_fftw_win32 audio processing library: includes
// every public header.

// Foundation
#include "SoundTools.h"
#include "SoundDebuggableClass.h"
#include "SoundRefCounted.h"
#include "SoundBuffer.h"

// Processing graph
#include "SoundAlgo.h"
#include "SoundAlgoMulti.h"
#include "SoundAlgoAdd.h"
#include "SoundAlgoAddSqr.h"
#include "SoundAlgoSub.h"
#include "SoundAlgoSelectChannel.h"
#include "SoundAlgoScale.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoDelay.h"
#include "SoundAlgoComposite.h"
#include "SoundRegionList.h"

// Audio files
#include "SoundIDTag.h"
#include "SoundReader.h"
#include "SoundWriter.h"
#include "SoundReaderSndfile.h"
#include "SoundWriterSndfile.h"
#include "SoundReaderMp3.h"
#include "SoundWriterMp3.h"
#include "SoundWriterMultiFile.h"

// Live playback
#include "SoundAlgoDevice.h"
#include "SoundPlayer.h"
#include "SoundPlayerQt.h"

// Filters and equalisers (recursive kernels, builders, filter nodes)
#include "FilterType.h"
#include "Filter.h"
#include "BiquadFilter.h"
#include "Order1Filter.h"
#include "Order6Filter.h"
#include "FilterBuilder.h"
#include "BiquadEqBuilder.h"
#include "Order1FilterBuilder.h"
#include "WeightingFilterBuilder.h"
#include "get_fco.h"
#include "SoundAlgoFilter.h"
#include "SoundAlgoFilterSplit.h"
#include "SoundAlgoFilterBiquad.h"

// FIR equaliser and spectral processing (FFT nodes, FFT filter and
// equaliser, spectral statistics, autocorrelation)
#include "SoundAlgoEqFIR.h"
#include "SoundAlgoFFT.h"
#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTInverseCompute.h"
#include "SoundAlgoFFTFilter.h"
#include "SoundAlgoEqFFT.h"
#include "SoundFFTAutocorrel.h"
#include "SoundAutocorrel.h"
#include "SoundAlgoFFTMultiStats.h"
#include "SoundAutocorrelStats.h"

// Levels and dynamics
#include "RMSStepDetector.h"
#include "SoundAlgoAmpliInterface.h"
#include "SoundAlgoLatencyInterface.h"
#include "SoundAlgoRMSAmplifier.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundAlgoStats.h"
#include "SoundAlgoBandMeter.h"
#include "SoundAlgoLoudness.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoMultibandAmplifier.h"
#include "SoundAlgoFilterMultibandAmplifier.h"
#include "SoundAlgoFFTMultibandAmplifier.h"

// Jobs: whole operations on files with options, results as plain data and
// JSON, progress and stop (what tevo's commands run)
#include "Job.h"
#include "JobOutput.h"
#include "TagOverrides.h"
#include "RegionAnalysis.h"
#include "Crossovers.h"
#include "StatsJob.h"
#include "BandsJob.h"
#include "RegionsJob.h"
#include "ChainStages.h"
#include "ProcessJob.h"
#include "SplitJob.h"
#include "LevelStages.h"
#include "LevelJob.h"
