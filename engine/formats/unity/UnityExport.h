#pragma once

// The converters of a Unity bundle's objects, each read through its type
// tree:
//   TextAsset     m_Script as stored: the container path's extension, else
//                 .txt for UTF-8 text and .bytes for anything else
//   Font          m_FontData: .ttf (00 01 00 00 or "true") or .otf ("OTTO")
//   MonoBehaviour its fields as JSON, by the names of its type tree
//   Mesh          Wavefront OBJ (UnityMesh.h)
//   Texture2D     PNG (Texture.h), from the object or its .resS range;
//                 formats without a decoder as their stored data
//   Sprite        PNG of its rectangle of its texture
//   AudioClip     its .resource range: an FSB5 bank as .fsb, PCM as .wav
// Objects are named by their container path where the bundle's AssetBundle
// object gives one, with the written form's extension; otherwise by their
// name and path ID. Where objects share a container path, a Texture2D takes
// it (the first object otherwise) and the others are named by their own
// names beside it.

#include "Exporting.h"
#include "Formats.h"

#include <memory>

namespace Kestrune::Unity {

std::unique_ptr<PackageExporter> MakeBundleExporter(PackageFiles& files);
// The same for a standalone serialized file, with the stream files beside it.
std::unique_ptr<PackageExporter> MakeSerializedFileExporter(PackageFiles& files);

// The objects of every serialized file of the bundle, in entry order; the
// user's selection picks by entry name.
void ListBundleObjects(PackageFiles& files, const ObjectListingVisitor& each,
                       const ReadOptions& options);

// The objects of a standalone serialized file, one entry's listing for each
// object (its entries are its objects).
void ListStandaloneObjects(PackageFiles& files, const ObjectListingVisitor& each,
                           const ReadOptions& options);

} // namespace Kestrune::Unity
