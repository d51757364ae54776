#pragma once
// HLSL source of the geometry views, compiled at run time. Written in the
// subset that both Microsoft's compiler and vkd3d-shader accept: interval
// lists arrive as float textures (two RGBA32F texels per piece, xLeft,
// xRight, a0, a1 then a2, a3) rather than structured buffers, and there is
// no conditional operator. The formulas are those of visual/GeometryMaths.

namespace al::ui {

// Texels per row of an interval texture (1024 pieces per row).
inline constexpr unsigned kIntervalTextureWidth = 2048;

// The in-window view: entry points VSMain (vs_5_0) and PSMain (ps_5_0).
inline constexpr const char* kHardwareGeometryShaderName = "AuralithHardwareGeometry";
const char* hardwareGeometryShaderSource() noexcept;

// The fullscreen stage: SeaVS/SeaPS, WallVS/DotVS/WallPS, LatticeVS/LatticePS,
// OverlayVS/OverlayPS.
inline constexpr const char* kStageShaderName = "AuralithGeometryStage";
const char* stageShaderSource() noexcept;

}  // namespace al::ui
