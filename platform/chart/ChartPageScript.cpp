#include "platform/chart/ChartView.h"

namespace chart {

// The adapter from our option JSON to the kept chart library (Chart.js 3):
// exactly the settings the option classes write, nothing else. What the
// library lacks (minor grid lines, crosshairs, a background, step "left"
// and "center", formatted tooltips) is drawn or mapped here.
const char* chartPageScript() {
    return R"JS(
(function(){
  var failures=0;
  // Label formatters and event handlers arrive as source text.
  function fn(src){ return (0,eval)('('+src+')'); }
  function dashes(style,w){
    var d={longDashDotDot:[8,3,1,3,1,3],longDash:[8,3],dash:[4,3],dot:[1,3],shortDash:[3,1]}[style];
    return d?d.map(function(v){return v*w;}):[];
  }
  function numberText(v,sep){
    if(typeof v!=='number'||!isFinite(v)) return String(v);
    var t=String(Math.round(v*1e12)/1e12), p=t.split('.');
    p[0]=p[0].replace(/\B(?=(\d{3})+(?!\d))/g,sep);
    return p.join('.');
  }
  function axis(a,position,sep){
    a=a||{};
    var s={type:'linear',position:position,
      title:{display:!!(a.title&&a.title.text),text:a.title?a.title.text:''},
      grid:{color:'transparent',borderColor:a.lineColor||'#ccd6eb',borderWidth:a.lineWidth===undefined?1:a.lineWidth,
            tickColor:a.lineColor||'#ccd6eb'},
      ticks:{}};
    if(a.gridLineWidth) s.grid.color=a.lineColor||'#e6e6e6', s.grid.lineWidth=a.gridLineWidth;
    if(a.labels&&a.labels.style&&a.labels.style.color) s.ticks.color=s.title.color=a.labels.style.color;
    if(a.labels&&a.labels.formatter){
      var f=fn(a.labels.formatter);
      s.ticks.callback=function(value){ return f.call({value:value,axis:this}); };
    } else {
      s.ticks.callback=function(value){ return numberText(value,sep); };
    }
    if(a.min!==undefined) s.min=a.min;
    if(a.max!==undefined) s.max=a.max;
    if(a.tickInterval) s.ticks.stepSize=a.tickInterval;
    if(a.tickPositions){
      var positions=a.tickPositions.slice();
      s.afterBuildTicks=function(scale){ scale.ticks=positions.map(function(v){return {value:v};}); };
    }
    // Kept for the plugins below.
    s.minorGrid={interval:a.minorTickInterval,color:a.minorGridLineColor||'#f2f2f2',
                 width:a.minorGridLineWidth===undefined?1:a.minorGridLineWidth};
    s.crosshairOptions=a.crosshair||null;
    return s;
  }
  var minorGrid={id:'minorGrid',beforeDatasetsDraw:function(chart){
    var area=chart.chartArea, ctx=chart.ctx;
    ['x','y'].forEach(function(id){
      var scale=chart.scales[id], m=scale&&scale.options.minorGrid;
      if(!m||m.interval===undefined||m.interval===null||!m.width) return;
      var step=m.interval;
      if(step==='auto'){
        var t=scale.ticks; if(t.length<2) return;
        step=(t[1].value-t[0].value)/5;
      }
      if(!(step>0)||(scale.max-scale.min)/step>2000) return;
      ctx.save(); ctx.strokeStyle=m.color; ctx.lineWidth=m.width; ctx.beginPath();
      for(var v=Math.ceil(scale.min/step)*step; v<=scale.max+step*1e-9; v+=step){
        var p=scale.getPixelForValue(v);
        if(id==='x'){ctx.moveTo(p,area.top);ctx.lineTo(p,area.bottom);}
        else{ctx.moveTo(area.left,p);ctx.lineTo(area.right,p);}
      }
      ctx.stroke(); ctx.restore();
    });
  }};
  var crosshair={id:'crosshair',afterDatasetsDraw:function(chart){
    var active=chart.tooltip&&chart.tooltip.getActiveElements?chart.tooltip.getActiveElements():[];
    if(!active.length) return;
    var el=active[0].element, area=chart.chartArea, ctx=chart.ctx;
    ['x','y'].forEach(function(id){
      var c=chart.scales[id]&&chart.scales[id].options.crosshairOptions;
      if(!c) return;
      ctx.save(); ctx.strokeStyle=c.color; ctx.lineWidth=c.width; ctx.setLineDash(dashes(c.dashStyle,c.width));
      ctx.beginPath();
      if(id==='x'){ctx.moveTo(el.x,area.top);ctx.lineTo(el.x,area.bottom);}
      else{ctx.moveTo(area.left,el.y);ctx.lineTo(area.right,el.y);}
      ctx.stroke(); ctx.restore();
    });
  }};
  var background={id:'background',beforeDraw:function(chart,args,o){
    if(!o.color) return;
    var ctx=chart.ctx; ctx.save(); ctx.fillStyle=o.color; ctx.fillRect(0,0,chart.width,chart.height); ctx.restore();
  }};
  function config(o){
    var type=(o.chart&&o.chart.type)||'line', sep=(o.lang&&o.lang.thousandsSep)||',';
    var plot=(o.plotOptions&&o.plotOptions.series)||{}, colors=o.colors||[];
    var defaultRadius=plot.marker&&plot.marker.radius!==undefined?plot.marker.radius:4;
    var datasets=(o.series||[]).map(function(s,i){
      var color=s.color||colors[i%Math.max(colors.length,1)]||'#7cb5ec';
      var radius=s.marker&&s.marker.radius!==undefined?s.marker.radius:defaultRadius;
      var d={label:s.name,data:s.data.map(function(p){return {x:p[0],y:p[1]};}),
        borderColor:color,backgroundColor:color,pointBackgroundColor:color,pointRadius:radius,
        pointHoverRadius:radius+1,borderWidth:2,tension:type==='spline'?0.4:0,
        cubicInterpolationMode:type==='spline'?'monotone':'default',
        showLine:type!=='scatter',fill:type==='area'?'origin':false};
      if(type==='area') d.backgroundColor=color+'bf';
      if(s.marker&&s.marker.lineWidth!==undefined) d.pointBorderWidth=s.marker.lineWidth;
      if(s.step) d.stepped={left:'before',center:'middle',right:'after'}[s.step]||false;
      return d;
    });
    var tip=o.tooltip||{}, tipStyle=tip.style||{};
    function format(text,item){
      return text.replace('{point.key}',numberText(item.parsed.x,sep)).replace('{point.y}',numberText(item.parsed.y,sep))
                 .replace(/<br\s*\/?>/g,'');
    }
    var legendClick=plot.events&&plot.events.legendItemClick?fn(plot.events.legendItemClick):null;
    return {
      type:type==='scatter'?'scatter':'line',
      data:{datasets:datasets},
      plugins:[minorGrid,crosshair,background],
      options:{
        responsive:false,animation:plot.animation&&plot.animation.duration>0?{duration:plot.animation.duration}:false,
        locale:'en-US',
        interaction:{mode:'nearest',intersect:false},
        scales:{x:axis(o.xAxis,'bottom',sep),y:axis(o.yAxis,'left',sep)},
        plugins:{
          background:{color:o.chart&&o.chart.backgroundColor},
          title:{display:!!(o.title&&o.title.text),text:o.title?o.title.text:'',
                 color:o.title&&o.title.style?o.title.style.color:undefined},
          legend:{display:!!(o.legend&&o.legend.enabled),
                  onClick:function(e,item,legend){
                    if(legendClick&&legendClick.call({},e)===false) return;
                    Chart.defaults.plugins.legend.onClick.call(this,e,item,legend);
                  }},
          tooltip:{enabled:tip.enabled!==false,
                   backgroundColor:tip.backgroundColor,borderColor:tip.borderColor,borderWidth:tip.borderWidth||0,
                   titleColor:tipStyle.color,bodyColor:tipStyle.color,displayColors:false,
                   callbacks:{title:function(items){return items.length?format(tip.headerFormat||'',items[0]):'';},
                              label:function(item){return format(tip.pointFormat||'',item);}}}
        }
      }
    };
  }
  document.querySelectorAll('.chart[data-options]').forEach(function(host){
    try{
      if(typeof Chart==='undefined') throw new Error('the chart library is not loaded');
      var canvas=document.createElement('canvas');
      canvas.style.width=host.offsetWidth+'px'; canvas.style.height=host.offsetHeight+'px';
      canvas.width=host.offsetWidth; canvas.height=host.offsetHeight;
      canvas.style.position='absolute'; canvas.style.left='0'; canvas.style.top='0';
      host.appendChild(canvas);
      new Chart(canvas,config(JSON.parse(host.dataset.options)));
      host.classList.add('drawn');
    }catch(x){failures++;host.classList.add('chart-failed');host.dataset.chartError=String(x.message||x);}
  });
  document.body.dataset.chartFailures=failures;
})();
)JS";
}

}  // namespace chart
