// The texts the page shares with the window and the engine, in one place so that a test can
// hold them against the C++ ones. A plain script: the page, its worker and node's tests all
// read it (it sets self.VETRIX_TEXTS, or module.exports under node).
'use strict';

(function define(root) {
  const texts = Object.freeze({
    // The window's start-up message when the face cascade does not load.
    cascadeMissing: '文件缺失，请重新下载！',
    // "照片“name”无法审核：why", as the window says when an audit reaches no verdict.
    cannotAudit: (name, why) => `照片“${name}”无法审核：${why}`,
    outOfMemory: '内存不足',
    saveName: '报名照片.jpg',  // the name the window's save chooser proposes
    logName: 'Test.log',
    reasonLabel: '原因：',
    // By verdict code (Idle = 0 ... BadSize = 6): the engine's state name, the caption the
    // window's picture shows, and the reason it gives for a rejection.
    verdicts: Object.freeze([
      { state: 'Idle', caption: '处理结果提示', reason: '' },
      { state: 'Passed', caption: '符合要求', reason: '' },
      { state: 'BadBackground', caption: '不符合要求',
        reason: '打开的照片文件背景不符合要求，请选择红色、白色或蓝色背景的照片。' },
      { state: 'BadFormat', caption: '不符合要求',
        reason: '打开的照片文件类型不是JPG或JPEG，请选择JPG或JPEG格式的照片文件。' },
      { state: 'NoSinglePortrait', caption: '不符合要求',
        reason: '打开的照片文件不符合要求，请选择正面标准人像证件照。' },
      { state: 'BadProportion', caption: '不符合要求',
        reason: '照片中人脸的大小或位置不符合要求，请选择头部完整、居中且头顶上方留有空间的照片。' },
      { state: 'BadSize', caption: '不符合要求',
        reason: '照片文件小于30K或像素太少，请选择文件大小和像素尺寸都符合要求的照片。' },
    ].map(Object.freeze)),
    // The idle window's instructions (the skin draws the parts in braces in red).
    guideHeading: '使用说明',
    guide: Object.freeze([
      '网上报名系统{只接受经本工具处理并符合要求的照片}，未经处理的照片无法上传。',
      '原始照片要求：背景为{纯红色、蓝色或白色}，近期正面免冠证件照；文件格式为{JPG或JPEG}，' +
        '文件大小{不小于30K}，像素尺寸{不小于215×300}；照片清晰，{未经缩放处理}。',
      '点击“打开照片”选择原始照片，处理结果显示在中间的结果显示区；显示“符合要求”后，' +
        '点击“保存照片”保存处理后的照片，报名时请上传保存后的照片。',
      '照片质量由考生本人负责，{因照片不合格造成的后果由考生自行承担}。',
    ]),
  });
  if (typeof module === 'object' && module.exports) module.exports = texts;
  else root.VETRIX_TEXTS = texts;
})(typeof self === 'object' ? self : globalThis);
