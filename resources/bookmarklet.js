// The save shortcut's bookmarklet. The build joins these lines into the one line of the
// shortcut's URL: lines that start with "//" and blank lines are dropped, indentation is
// removed, the lines are joined with nothing between them and every space becomes "%20".
// So each line must end where a statement or block may end, and no line may carry a
// comment after its code. @BRIVOK_ROOT@ becomes the service's web root.
(function(){
  f='@BRIVOK_ROOT@brivok?brivok_add_review_url='+encodeURIComponent(window.location.href)+'&v=2&remote=1&ie=1&';
  if(document.getElementById){
    var h=document.getElementsByTagName('head').item(0);
    var s=document.createElement('script');
    // Some browsers return no script object from createElement in a page of theirs.
    if(typeof s!='object')s=document.standardCreateElement('script');
    s.setAttribute('src','@BRIVOK_ROOT@sites/all/modules/brivok/brivok_page_parsing.js');
    s.setAttribute('type','text/javascript');
    h.appendChild(s);
  }
  // Waits for the page-parsing script, then hands the page and what it found to the service.
  a=function(){
    if(typeof brivok_scripts_loaded!='undefined'){
      if(typeof res=='object'){
        for(var i=0;i<res.length;i++){
          f+=res[i].QueryKey+i+'='+res[i].Src+'&';
        }
      }
      location.href=f+'jump=yes';
      return;
    }
    setTimeout(a,0);
  };
  setTimeout(a,0);
})();
